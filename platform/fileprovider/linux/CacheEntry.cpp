#include "platform/fileprovider/linux/CacheEntry.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/fileprovider/linux/Log.h"

namespace lumora::fuse {

CacheEntry::CacheEntry(std::string name, UniqueFd fd, BlockMap map, bool fromEarlierRun,
                       bool transient)
    : name_(std::move(name)),
      fd_(std::move(fd)),
      size_(map.fileSize),
      transient_(transient),
      blocks_(map.blockCount(), Block::absent),
      checksums_(std::move(map.checksums)),
      unverified_(map.blockCount(), false) {
  for (uint64_t i = 0; i < blocks_.size(); ++i) {
    if (!map.present[i]) continue;
    blocks_[i] = Block::present;
    unverified_[i] = fromEarlierRun;
  }
  unverifiedCount_ =
      static_cast<uint64_t>(std::count(unverified_.begin(), unverified_.end(), true));
  updateCompleteLocked();
}

bool CacheEntry::anyPresent() const {
  std::lock_guard lock(mutex_);
  return std::find(blocks_.begin(), blocks_.end(), Block::present) != blocks_.end();
}

void CacheEntry::updateCompleteLocked() {
  complete_.store(
      std::all_of(blocks_.begin(), blocks_.end(), [](Block b) { return b == Block::present; }),
      std::memory_order_release);
}

std::vector<BlockRun> CacheEntry::claim(BlockRun wanted, uint64_t limit) {
  std::vector<BlockRun> runs;
  std::lock_guard lock(mutex_);
  uint64_t end = std::min<uint64_t>(wanted.end, blocks_.size());
  for (uint64_t i = wanted.first; i < end && limit > 0; ++i) {
    if (blocks_[i] != Block::absent) continue;
    blocks_[i] = Block::fetching;
    failures_.erase(i);
    --limit;
    if (!runs.empty() && runs.back().end == i) {
      runs.back().end = i + 1;
    } else {
      runs.push_back({i, i + 1, generation_.load(std::memory_order_relaxed)});
    }
  }
  return runs;
}

void CacheEntry::blockArrived(uint64_t index, uint64_t checksum, uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_.load(std::memory_order_relaxed)) return;
    if (index >= blocks_.size() || blocks_[index] != Block::fetching) return;
    blocks_[index] = Block::present;
    checksums_[index] = checksum;
    mapChanged_ = true;
    updateCompleteLocked();
  }
  changed_.notify_all();
}

void CacheEntry::fetchEnded(BlockRun run, const std::optional<Error>& error) {
  {
    std::lock_guard lock(mutex_);
    if (run.generation != generation_.load(std::memory_order_relaxed)) return;
    uint64_t end = std::min<uint64_t>(run.end, blocks_.size());
    for (uint64_t i = run.first; i < end; ++i) {
      if (blocks_[i] != Block::fetching) continue;
      blocks_[i] = Block::absent;
      if (error) failures_.insert_or_assign(i, *error);
    }
  }
  changed_.notify_all();
}

CacheEntry::Wait CacheEntry::waitFor(BlockRun run, std::chrono::steady_clock::time_point deadline,
                                     Error* error) {
  std::unique_lock lock(mutex_);
  uint64_t end = std::min<uint64_t>(run.end, blocks_.size());
  for (;;) {
    bool fetching = false;
    for (uint64_t i = run.first; i < end; ++i) {
      if (blocks_[i] == Block::present) continue;
      if (blocks_[i] == Block::fetching) {
        fetching = true;
        continue;
      }
      auto failure = failures_.find(i);
      if (failure == failures_.end()) return Wait::absent;
      if (error) *error = failure->second;
      return Wait::failed;
    }
    if (!fetching) return Wait::ready;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return Wait::timedOut;
  }
}

bool CacheEntry::verify(BlockRun run) {
  std::vector<uint64_t> toCheck;
  {
    std::lock_guard lock(mutex_);
    for (uint64_t i = run.first; i < std::min<uint64_t>(run.end, blocks_.size()); ++i) {
      if (unverified_[i] && blocks_[i] == Block::present) toCheck.push_back(i);
    }
  }
  if (toCheck.empty()) return true;
  std::vector<char> buffer(kBlockSize);
  for (uint64_t index : toCheck) {
    uint64_t offset = index * kBlockSize;
    size_t length = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - offset));
    size_t got = 0;
    while (got < length) {
      ssize_t n =
          ::pread(fd_.get(), buffer.data() + got, length - got, static_cast<off_t>(offset + got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    std::unique_lock lock(mutex_);
    if (got == length && blockChecksum(buffer.data(), length) == checksums_[index]) {
      if (unverified_[index]) --unverifiedCount_;
      unverified_[index] = false;
      continue;
    }
    lock.unlock();
    log("a cached file failed its check at block %llu; its contents are fetched again",
        static_cast<unsigned long long>(index));
    dropContents();
    return false;
  }
  return true;
}

void CacheEntry::dropContents() {
  {
    std::lock_guard lock(mutex_);
    for (uint64_t i = 0; i < blocks_.size(); ++i) {
      // A fetch under way finds its blocks no longer claimed and stops.
      blocks_[i] = Block::absent;
      unverified_[i] = false;
    }
    unverifiedCount_ = 0;
    generation_.fetch_add(1, std::memory_order_release);
    failures_.clear();
    mapChanged_ = true;
    updateCompleteLocked();
    // Gives the space back; the file keeps its length.
    (void)!::ftruncate(fd_.get(), 0);
    (void)!::ftruncate(fd_.get(), static_cast<off_t>(size_));
  }
  changed_.notify_all();
}

std::optional<BlockMap> CacheEntry::takeChangedMap() {
  std::lock_guard lock(mutex_);
  if (!mapChanged_ || transient_) return std::nullopt;
  mapChanged_ = false;
  BlockMap map(size_);
  for (uint64_t i = 0; i < blocks_.size(); ++i) {
    map.present[i] = blocks_[i] == Block::present;
    map.checksums[i] = checksums_[i];
  }
  return map;
}

void CacheEntry::markMapChanged() {
  std::lock_guard lock(mutex_);
  mapChanged_ = true;
}

}  // namespace lumora::fuse
