#pragma once
// Downloaded contents, kept on disk: per item identifier and content version
// one sparse data file, named from a hash of the two, and beside it the map
// of the blocks it holds. Small files come in whole (adopt), large ones
// block by block (create, then the entry's blocks).
//
// Bounded in size at admission: an entry is taken in only once the least
// recently used entries that no one holds open have made room for its whole
// size, below the limit and above a floor of free disk space. An entry over
// the limit is transient: it has no name on disk and goes with its last
// lease. One the disk has no room for is read through: its blocks are held
// in a bounded memory window, never on the disk. The floor is kept again as
// each block reaches the disk, and a write the disk refuses makes room and
// tries again, or holds the block in memory.
//
// Descriptors: entries open their files as they are used; at most
// kIdleDescriptors stay open beyond those that leases hold.
//
// Crash-safe: a block is written to the map on disk only once its bytes are
// durable (the maps are written by a flusher after a sync of the cache's
// file system). At start, an entry whose map is unreadable or whose data
// file is shorter than the map says is dropped; its blocks are checked
// against their checksums the first time they are served.
//
// A small file taken in whole has no map file of its own: its map is
// appended to one journal that all of them share, which costs one write
// per flush rather than a file created and renamed per entry. A journal
// cut short or damaged loses the records from there on, whose files are
// then fetched again; the journal is written afresh at start. An entry's
// own map file, where there is one, wins over the journal.

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

#include "platform/fileprovider/linux/content/CacheEntry.h"
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
// Files taken in whole up to this size have their maps in the journal.
inline constexpr uint64_t kJournaledFileMax = 1ULL << 20;
// The journal is written afresh once it holds this many records more
// than twice the entries it names.
inline constexpr size_t kJournalSlack = 4096;
// Data files kept open after their use, across the whole cache.
inline constexpr size_t kIdleDescriptors = 64;
// Complete entries that nobody holds and whose maps are on the disk rest as
// their blocks' checksums alone, once this many others were used after
// them: what the cache holds in memory then grows by a few hundred bytes a
// file, not by an entry with its locks and buffers, and the flusher looks
// only at entries in use. A start brings every complete entry in resting.
inline constexpr size_t kLiveEntries = 1024;

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
    // `entry` held once more; `state`: on the cache's books.
    Lease(std::shared_ptr<State> state, std::shared_ptr<CacheEntry> entry);
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();
    // The data file, open while the lease is held; -1 for an entry read
    // through, or one whose file cannot be opened.
    int fd() const { return entry_->leasedFd(); }
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
  // `streaming`: read through, uncached (no room for it in the cache).
  enum class EntryState { absent, partial, complete, streaming };
  // Room on the disk for `size` more bytes above the floor, once what no
  // one holds has made room.
  bool hasRoomFor(uint64_t size);
  // What the cache holds of that version; touches nothing.
  EntryState stateOf(const std::string& identifier, const std::string& version) const;
  // The version is gone from the service: its entry goes once unused.
  void discard(const std::string& identifier, const std::string& version);

  // Keeps the complete entry of that version on this device: never evicted,
  // across restarts, until dropped. Another version of the item kept before
  // goes (once unused). False when the cache holds no such entry by name.
  bool keep(const std::string& identifier, const std::string& version);
  // Drops what the cache holds of the item in that version, and the version
  // of it kept, if another; each goes once unused.
  void drop(const std::string& identifier, const std::string& version);
  bool isKept(const std::string& identifier, const std::string& version) const;
  // A new limit: what is not kept is evicted to fit under it.
  void setLimit(uint64_t limitBytes);
  uint64_t limit() const;
  uint64_t keptBytes() const;

  // Writes the maps of entries whose blocks changed, after making those
  // blocks durable, then lets entries not used lately rest. The flusher
  // does this every kMapFlushInterval.
  void flush();

  const std::filesystem::path& directory() const { return directory_; }
  uint64_t bytesUsed() const;
  size_t fileCount() const;
  // Entries held whole in memory rather than resting, for tests and figures.
  size_t liveEntries() const;
  // Data files open and not held by a lease, for tests and figures.
  size_t idleDescriptors() const;

 private:
  struct Slot;
  // Where an admitted entry goes: into the cache, a file with no name, or
  // memory only.
  enum class Placement { named, transient, memory };
  Result<Lease> admit(const std::string& name, uint64_t size, bool mayStream, bool journaled,
                      const std::function<Result<std::shared_ptr<CacheEntry>>(Placement)>& make);
  EntryStorage storageFor(const std::string& name) const;
  // Holds the slot's entry, brought back from its map if it rests.
  Lease leaseLocked(std::map<std::string, Slot>::iterator it);
  // Entries not used for a while and not held rest as their checksums.
  void restIdle();
  // flush()'s first half: the maps of entries whose blocks changed.
  void writeChangedMaps();
  void runFlusher();
  // Appends `records` to the journal, or writes it afresh with only them.
  bool appendToJournal(const std::string& records, size_t count);
  bool rewriteJournal(const std::string& records, size_t count);
  void compactJournalIfDue();  // with flushMutex_ held

  const std::filesystem::path directory_;
  std::shared_ptr<State> state_;
  std::shared_ptr<const RoomFunction> room_;  // shared by every entry
  std::mutex flushMutex_;                     // one flush at a time; taken before State::mutex
  size_t journalRecords_ = 0;                 // protected by flushMutex_; records in the journal
  std::thread flusher_;
};

}  // namespace lumora::fuse
