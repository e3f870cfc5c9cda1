#pragma once
// One identifier and version's contents in the cache: a sparse data file
// and which of its blocks hold their bytes. Blocks are fetched by whoever
// claims them and waited for by any number of readers.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fileprovider/linux/BlockMap.h"
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

class CacheEntry {
 public:
  // `map`: the blocks already present, from an earlier run (checked before
  // they are first served) or none at all. `fd` is open for reading and
  // writing; `transient` entries have no name on disk and no map.
  CacheEntry(std::string name, UniqueFd fd, BlockMap map, bool fromEarlierRun, bool transient);
  CacheEntry(const CacheEntry&) = delete;
  CacheEntry& operator=(const CacheEntry&) = delete;

  const std::string& name() const { return name_; }
  uint64_t size() const { return size_; }
  uint64_t blockCount() const { return blockCountFor(size_); }
  int fd() const { return fd_.get(); }
  bool transient() const { return transient_; }
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

 private:
  enum class Block : uint8_t { absent, fetching, present };
  void updateCompleteLocked();

  const std::string name_;
  const UniqueFd fd_;
  const uint64_t size_;
  const bool transient_;
  std::atomic<bool> complete_{false};
  std::atomic<uint64_t> unverifiedCount_{0};  // set under mutex_
  std::atomic<uint64_t> generation_{0};       // set under mutex_
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Block> blocks_;           // protected by mutex_
  std::vector<uint64_t> checksums_;     // protected by mutex_
  std::vector<bool> unverified_;        // protected by mutex_
  std::map<uint64_t, Error> failures_;  // protected by mutex_; absent blocks whose fetch failed
  bool mapChanged_ = false;             // protected by mutex_
};

}  // namespace lumora::fuse
