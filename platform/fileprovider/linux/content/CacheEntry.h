#pragma once
// One identifier and version's contents in the cache: a sparse data file
// and which of its blocks hold their bytes. Blocks are fetched by whoever
// claims them and waited for by any number of readers.
//
// The data file is opened only while it is used, so that the descriptors
// the daemon holds do not grow with what the cache holds: a few recently
// used ones stay open in a DescriptorPool, and a lease keeps its own.
//
// A block the disk has no room for is held in memory instead, in a window
// of kStreamWindowBlocks around where the entry is read: the entry is then
// read through, uncached. An entry with no data file at all holds every
// block that way.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/fileprovider/linux/content/BlockMap.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UniqueFd.h"

namespace lumora::fuse {

// Blocks [first, end) of an entry.
struct BlockRun {
  uint64_t first = 0;
  uint64_t end = 0;
  // The entry's generation when the run was claimed (see dropContents).
  uint64_t generation = 0;
  friend bool operator==(const BlockRun&, const BlockRun&) = default;
};

// Blocks of an entry read through held in memory at once (8 MiB).
inline constexpr uint64_t kStreamWindowBlocks = (8 << 20) / kBlockSize;

using Descriptor = std::shared_ptr<const UniqueFd>;

// The data files' descriptors kept open while unused: the most recently
// used `capacity` of them. One still in use elsewhere closes with its last user.
class DescriptorPool {
 public:
  explicit DescriptorPool(size_t capacity) : capacity_(capacity) {}
  void keep(const Descriptor& fd);
  // Lets `fd` go, closing it unless someone else still uses it.
  void forget(const UniqueFd* fd);
  size_t size() const;

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Descriptor> recent_;  // protected by mutex_; most recent first
  std::unordered_map<const UniqueFd*, std::list<Descriptor>::iterator> where_;  // mutex_
};

// Asked before a block's bytes of entry `name` go to the disk: true once
// there is room for that many bytes. `refused`: the disk said it is full,
// whatever its count says, so that many bytes are freed.
using RoomFunction = std::function<bool(const std::string& name, uint64_t bytes, bool refused)>;

// Where an entry's bytes live. What entries share, they share by pointer:
// a cache holds many thousands of them.
struct EntryStorage {
  // A named data file, opened when used; its descriptors go to `pool`.
  std::string path;
  std::shared_ptr<DescriptorPool> pool;
  // That file, when it is open already.
  UniqueFd opened;
  // Or a file with no name, open for the entry's life. Neither: memory only.
  UniqueFd fd;
  std::shared_ptr<const RoomFunction> room;
};

class CacheEntry {
 public:
  // `map`: the blocks already present, from an earlier run (checked before
  // they are first served) or none at all. `transient` entries have no
  // name on disk and no map.
  CacheEntry(std::string name, EntryStorage storage, BlockMap map, bool fromEarlierRun,
             bool transient);
  CacheEntry(const CacheEntry&) = delete;
  CacheEntry& operator=(const CacheEntry&) = delete;

  const std::string& name() const { return name_; }
  uint64_t size() const { return size_; }
  uint64_t blockCount() const { return blockCountFor(size_); }
  bool transient() const { return transient_; }
  // The data file, open while the result is held. None for an entry that
  // has no file.
  Result<Descriptor> descriptor();
  // A descriptor of the data file that stays open while a lease holds the
  // entry (see leased); -1 when it cannot be opened or there is no file.
  int leasedFd();
  void leased();
  void released();
  // The entry leaves the cache: the descriptor the pool keeps of it goes,
  // so that its file's space is given back at once.
  void closeIdle();
  // Some blocks are held in memory, or the entry has no file: its bytes are
  // read with copy(), not from a descriptor.
  bool streaming() const { return streaming_.load(std::memory_order_acquire); }
  // Bytes of a claimed block at `offset`, in order within each block; bytes
  // of blocks no longer claimed are dropped. False: the disk failed.
  bool write(uint64_t offset, const char* data, size_t size);
  // [offset, offset + length), when all of it is present.
  std::optional<std::string> copy(uint64_t offset, size_t length);
  // A reader is at `offset`: the memory window moves there.
  void readingAt(uint64_t offset);
  // Blocks held in memory, for tests and figures.
  size_t blocksInMemory() const;
  // Every block is present: the file can be served as it is.
  bool complete() const { return complete_.load(std::memory_order_acquire); }
  bool anyPresent() const;
  // Some present block came from an earlier run and was not checked yet.
  bool hasUnverified() const { return unverifiedCount_.load(std::memory_order_acquire) > 0; }

  // Marks the absent blocks among [first, end) as being fetched by the
  // caller and returns them as contiguous runs. Up to `limit` blocks.
  std::vector<BlockRun> claim(BlockRun wanted, uint64_t limit = UINT64_MAX);
  // A block claimed in `generation` has all its bytes in the data file.
  // Ignored when the contents were dropped since the claim: some of the
  // bytes may have gone with them.
  void blockArrived(uint64_t index, uint64_t checksum, uint64_t generation);
  // The fetch of `run` is over: blocks of it that did not arrive are absent
  // again, and readers waiting for them are given `error`. Blocks claimed
  // again after a drop belong to the later claim.
  void fetchEnded(BlockRun run, const std::optional<Error>& error);

  enum class Wait { ready, absent, failed, timedOut };
  // Waits until every block of `run` is present, one of them is absent with
  // nobody fetching it (`failed` with the error when its fetch failed), or
  // the deadline passes.
  Wait waitFor(BlockRun run, std::chrono::steady_clock::time_point deadline,
               Error* error = nullptr);
  // Blocks that came from an earlier run are read back and checked against
  // their checksums the first time they are served. False: one failed, and
  // every block of the entry is dropped, to be fetched again.
  bool verify(BlockRun run);
  // Every block absent again (a version that turned out to be another),
  // and a new generation: what claims made before still write counts no more.
  void dropContents();
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  // For the map on disk: a copy when it changed since the last take.
  std::optional<BlockMap> takeChangedMap();
  void markMapChanged();
  // The map as the disk last took it: none while it has changes since.
  std::optional<BlockMap> settledMap() const;

 private:
  enum class Block : uint8_t { absent, fetching, present };
  struct MemoryBlock {
    std::string bytes;
    bool read = false;  // copied out to a reader
  };
  void updateCompleteLocked();
  Result<Descriptor> descriptorLocked();
  bool writeToMemory(uint64_t index, uint64_t offset, const char* data, size_t size,
                     const Descriptor& prefixFrom);
  bool makeWindowRoomLocked(uint64_t index);
  std::pair<uint64_t, uint64_t> windowLocked() const;  // blocks [first, second)
  void dropLocked(uint64_t index);
  BlockMap mapLocked() const;

  const std::string name_;
  const std::string path_;
  const std::shared_ptr<DescriptorPool> pool_;
  const Descriptor own_;  // a transient entry's file
  const std::shared_ptr<const RoomFunction> room_;
  const uint64_t size_;
  const bool transient_;
  std::atomic<bool> streaming_{false};
  std::mutex fdMutex_;                           // taken after mutex_, never before it
  std::weak_ptr<const UniqueFd> open_;           // protected by fdMutex_
  std::optional<std::pair<dev_t, ino_t>> file_;  // protected by fdMutex_; the first one opened
  Descriptor held_;                              // protected by fdMutex_; while leases_ > 0
  int leases_ = 0;                               // protected by fdMutex_
  std::atomic<bool> complete_{false};
  std::atomic<uint64_t> unverifiedCount_{0};  // set under mutex_
  std::atomic<uint64_t> generation_{0};       // set under mutex_
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Block> blocks_;               // protected by mutex_
  std::vector<uint64_t> checksums_;         // protected by mutex_
  std::vector<bool> unverified_;            // protected by mutex_
  std::map<uint64_t, Error> failures_;      // protected by mutex_; absent blocks whose fetch failed
  bool mapChanged_ = false;                 // protected by mutex_
  std::map<uint64_t, MemoryBlock> memory_;  // protected by mutex_; blocks held in memory
  uint64_t readPoint_ = 0;                  // protected by mutex_; where the reader is
};

}  // namespace lumora::fuse
