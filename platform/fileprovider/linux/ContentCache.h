#pragma once
// Downloaded contents, kept on disk: per item identifier and content version
// one sparse data file, named from a hash of the two, and beside it the map
// of the blocks it holds. Small files come in whole (adopt), large ones
// block by block (create, then the entry's blocks).
//
// Bounded in size at admission: an entry is taken in only once the least
// recently used entries that no one holds open have made room for its whole
// size, below the limit and above a floor of free disk space. An entry that
// cannot be given room is transient: it has no name on disk and goes with
// its last lease.
//
// Crash-safe: a block is written to the map on disk only once its bytes are
// durable (the maps are written by a flusher after a sync of the cache's
// file system). At start, an entry whose map is unreadable or whose data
// file is shorter than the map says is dropped; its blocks are checked
// against their checksums the first time they are served.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/fileprovider/linux/CacheEntry.h"
#include "platform/foundation/Error.h"

namespace lumora::fuse {

#ifndef LUMORA_CONTENT_CACHE_LIMIT
#define LUMORA_CONTENT_CACHE_LIMIT (10ULL << 30)
#endif
inline constexpr uint64_t kContentCacheLimit = LUMORA_CONTENT_CACHE_LIMIT;
// The share of the disk that the cache leaves free, at most kFreeSpaceFloorMax.
inline constexpr double kFreeSpaceFloorShare = 0.05;
inline constexpr uint64_t kFreeSpaceFloorMax = 4ULL << 30;
// How soon maps of newly present blocks reach the disk.
inline constexpr std::chrono::milliseconds kMapFlushInterval{500};

// The disk space left for the cache's folder, and the disk's whole size.
struct DiskSpace {
  uint64_t available = 0;
  uint64_t total = 0;
};
using DiskSpaceProbe = std::function<std::optional<DiskSpace>(const std::filesystem::path&)>;

class ContentCache {
  struct State;

 public:
  // An entry held open: it is not evicted while a lease holds it.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();
    int fd() const { return entry_->fd(); }
    uint64_t size() const { return entry_->size(); }
    CacheEntry& entry() const { return *entry_; }
    std::shared_ptr<CacheEntry> share() const { return entry_; }
    // A second lease on the same entry.
    Lease another() const;
    bool valid() const { return entry_ != nullptr; }

   private:
    friend class ContentCache;
    void reset();
    std::shared_ptr<State> state_;
    std::shared_ptr<CacheEntry> entry_;
  };

  ContentCache(std::filesystem::path directory, uint64_t limitBytes,
               DiskSpaceProbe probe = nullptr);
  ~ContentCache();
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  // Creates the folder (0700), drops unfinished files and entries that fail
  // their checks, learns the rest and starts the flusher.
  Result<void> prepare();

  static std::string fileNameFor(const std::string& identifier, const std::string& version);

  // The entry of that version, complete or not, when there is one.
  std::optional<Lease> open(const std::string& identifier, const std::string& version);
  // Takes a whole downloaded file in as that version's complete contents.
  Result<Lease> adopt(const std::string& identifier, const std::string& version,
                      const std::filesystem::path& downloaded);
  // An entry of `size` bytes with no block present yet, or the one there is.
  Result<Lease> create(const std::string& identifier, const std::string& version, uint64_t size);
  enum class EntryState { absent, partial, complete };
  // What the cache holds of that version; touches nothing.
  EntryState stateOf(const std::string& identifier, const std::string& version) const;
  // The version is gone from the service: its entry goes once unused.
  void discard(const std::string& identifier, const std::string& version);

  // Writes the maps of entries whose blocks changed, after making those
  // blocks durable. The flusher does this every kMapFlushInterval.
  void flush();

  const std::filesystem::path& directory() const { return directory_; }
  uint64_t bytesUsed() const;
  size_t fileCount() const;

 private:
  struct Slot;
  Result<Lease> admit(const std::string& name, uint64_t size,
                      const std::function<Result<std::shared_ptr<CacheEntry>>(bool)>& make);
  void evictLocked(uint64_t wanted, const std::string& keep);
  Lease leaseLocked(Slot& slot);
  void removeFiles(const std::string& name) const;
  void runFlusher();

  const std::filesystem::path directory_;
  const uint64_t limit_;
  const DiskSpaceProbe probe_;
  std::shared_ptr<State> state_;
  std::mutex flushMutex_;  // one flush at a time; taken before State::mutex
  std::thread flusher_;
};

}  // namespace lumora::fuse
