#include "platform/fileprovider/linux/content/CacheEntry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/fileprovider/linux/base/Log.h"

namespace lumora::fuse {

void DescriptorPool::keep(const Descriptor& fd) {
  Descriptor dropped;  // closed outside the lock
  std::lock_guard lock(mutex_);
  if (auto at = where_.find(fd.get()); at != where_.end()) {
    recent_.splice(recent_.begin(), recent_, at->second);
    return;
  }
  recent_.push_front(fd);
  where_[fd.get()] = recent_.begin();
  if (recent_.size() > capacity_) {
    dropped = std::move(recent_.back());
    where_.erase(dropped.get());
    recent_.pop_back();
  }
}

void DescriptorPool::forget(const UniqueFd* fd) {
  Descriptor dropped;  // closed outside the lock
  std::lock_guard lock(mutex_);
  auto at = where_.find(fd);
  if (at == where_.end()) return;
  dropped = std::move(*at->second);
  recent_.erase(at->second);
  where_.erase(at);
}

size_t DescriptorPool::size() const {
  std::lock_guard lock(mutex_);
  return recent_.size();
}

CacheEntry::CacheEntry(std::string name, EntryStorage storage, BlockMap map, bool fromEarlierRun,
                       bool transient)
    : name_(std::move(name)),
      path_(std::move(storage.path)),
      pool_(std::move(storage.pool)),
      own_(storage.fd.valid() ? std::make_shared<const UniqueFd>(std::move(storage.fd)) : nullptr),
      room_(std::move(storage.room)),
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
  streaming_ = !own_ && path_.empty();
  updateCompleteLocked();
  struct stat st {};
  if (!path_.empty() && storage.opened.valid() && ::fstat(storage.opened.get(), &st) == 0) {
    file_ = std::pair(st.st_dev, st.st_ino);
    auto fd = std::make_shared<const UniqueFd>(std::move(storage.opened));
    open_ = fd;
    if (pool_) pool_->keep(fd);
  }
}

Result<Descriptor> CacheEntry::descriptor() {
  if (own_) return own_;
  std::lock_guard lock(fdMutex_);
  return descriptorLocked();
}

Result<Descriptor> CacheEntry::descriptorLocked() {
  if (path_.empty()) return std::unexpected(posixError(ENOENT, "the entry has no file"));
  Descriptor fd = open_.lock();
  if (!fd) {
    UniqueFd opened(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (!opened.valid()) return std::unexpected(posixError(errno, "cannot open a cached file"));
    // Once evicted, the name may be another entry's file: never this one's.
    struct stat st {};
    if (::fstat(opened.get(), &st) != 0) return std::unexpected(posixError(errno, "cannot stat"));
    if (file_ && *file_ != std::pair(st.st_dev, st.st_ino)) {
      return std::unexpected(posixError(ENOENT, "the cached file was replaced"));
    }
    file_ = std::pair(st.st_dev, st.st_ino);
    fd = std::make_shared<const UniqueFd>(std::move(opened));
    open_ = fd;
  }
  if (pool_) pool_->keep(fd);
  return fd;
}

int CacheEntry::leasedFd() {
  if (own_) return own_->get();
  std::lock_guard lock(fdMutex_);
  if (!held_) {
    auto fd = descriptorLocked();
    if (!fd) return -1;
    // Kept only while a lease is there to let it go (see released).
    if (leases_ > 0) held_ = *fd;
    return (*fd)->get();
  }
  return held_->get();
}

void CacheEntry::leased() {
  std::lock_guard lock(fdMutex_);
  ++leases_;
}

void CacheEntry::closeIdle() {
  std::lock_guard lock(fdMutex_);
  if (Descriptor fd = open_.lock(); fd && pool_) pool_->forget(fd.get());
}

void CacheEntry::released() {
  std::lock_guard lock(fdMutex_);
  // The pool keeps the descriptor if it was among the last used.
  if (leases_ > 0 && --leases_ == 0) held_.reset();
}

bool CacheEntry::write(uint64_t offset, const char* data, size_t size) {
  while (size > 0) {
    uint64_t index = offset / kBlockSize;
    uint64_t blockStart = index * kBlockSize;
    uint64_t blockEnd = std::min(blockStart + kBlockSize, size_);
    if (offset >= blockEnd) return true;
    size_t part = static_cast<size_t>(std::min<uint64_t>(size, blockEnd - offset));
    bool inMemory = false;
    {
      std::lock_guard lock(mutex_);
      // Bytes of a block no longer claimed are not wanted any more.
      if (blocks_[index] != Block::fetching) {
        offset += part;
        data += part;
        size -= part;
        continue;
      }
      inMemory = memory_.contains(index);
    }
    Descriptor fd;
    if (!inMemory && (own_ || !path_.empty())) {
      // A block starting now takes its room on the disk first, so that
      // sparse entries filling in keep the free-space floor.
      bool room = offset != blockStart || !room_ || (*room_)(name_, blockEnd - blockStart, false);
      if (room) {
        if (auto opened = descriptor()) fd = *opened;
      }
    }
    size_t written = 0;
    bool retried = false;
    while (fd && written < part) {
      ssize_t n =
          ::pwrite(fd->get(), data + written, part - written, static_cast<off_t>(offset + written));
      if (n > 0) {
        written += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == ENOSPC || errno == EDQUOT) && !retried && room_ &&
          (*room_)(name_, part - written, true)) {
        retried = true;  // room was made: once more
        continue;
      }
      if (n < 0 && errno != ENOSPC && errno != EDQUOT) return false;
      break;  // the disk is full: the rest of the block is held in memory
    }
    if (written < part &&
        !writeToMemory(index, offset + written, data + written, part - written, fd)) {
      return false;
    }
    offset += part;
    data += part;
    size -= part;
  }
  return true;
}

// The block's bytes from `offset` on go to the memory window; those before
// it, already on the disk, are read back from `prefixFrom`.
bool CacheEntry::writeToMemory(uint64_t index, uint64_t offset, const char* data, size_t size,
                               const Descriptor& prefixFrom) {
  std::lock_guard lock(mutex_);
  if (blocks_[index] != Block::fetching) return true;
  uint64_t blockStart = index * kBlockSize;
  auto at = memory_.find(index);
  if (at == memory_.end()) {
    std::string prefix(offset - blockStart, '\0');
    if (!prefix.empty()) {
      Descriptor fd = prefixFrom;
      if (!fd) {
        auto opened = descriptor();
        if (opened) fd = *opened;
      }
      if (!fd || ::pread(fd->get(), prefix.data(), prefix.size(), static_cast<off_t>(blockStart)) !=
                     static_cast<ssize_t>(prefix.size())) {
        dropLocked(index);
        changed_.notify_all();
        return true;
      }
    }
    if (!makeWindowRoomLocked(index)) {
      // No room in the window: the block is fetched again when read.
      dropLocked(index);
      changed_.notify_all();
      return true;
    }
    if (!streaming_.exchange(true)) {
      log("no room on the disk for a cached file: it is read through, uncached");
    }
    at = memory_.emplace(index, MemoryBlock{std::move(prefix), false}).first;
  }
  std::string& bytes = at->second.bytes;
  uint64_t from = offset - blockStart;
  if (bytes.size() < from + size) bytes.resize(static_cast<size_t>(from + size));
  std::memcpy(bytes.data() + from, data, size);
  return true;
}

// Room in the memory window for one more block: blocks outside the window
// go first, then those already read, then those read ahead farthest away.
bool CacheEntry::makeWindowRoomLocked(uint64_t index) {
  auto [windowStart, windowEnd] = windowLocked();
  if (index < windowStart || index >= windowEnd) return false;
  while (memory_.size() >= kStreamWindowBlocks) {
    auto victim = memory_.end();
    for (auto it = memory_.begin(); it != memory_.end(); ++it) {
      if (it->first < windowStart || it->first >= windowEnd) {
        victim = it;
        break;
      }
    }
    if (victim == memory_.end()) {
      for (auto it = memory_.begin(); it != memory_.end(); ++it) {
        if (blocks_[it->first] == Block::present && it->second.read) {
          victim = it;
          break;
        }
      }
    }
    if (victim == memory_.end()) {
      for (auto it = memory_.rbegin(); it != memory_.rend(); ++it) {
        if (blocks_[it->first] == Block::present && it->first > index) {
          victim = std::prev(it.base());
          break;
        }
      }
    }
    if (victim == memory_.end()) return false;
    dropLocked(victim->first);
  }
  return true;
}

void CacheEntry::dropLocked(uint64_t index) {
  memory_.erase(index);
  // A block being fetched is no longer claimed: its bytes go nowhere.
  blocks_[index] = Block::absent;
  updateCompleteLocked();
}

std::optional<std::string> CacheEntry::copy(uint64_t offset, size_t length) {
  std::string out(length, '\0');
  if (length == 0) return out;
  std::lock_guard lock(mutex_);
  uint64_t end = std::min<uint64_t>(offset + length, size_);
  if (offset >= end) return std::string();
  out.resize(static_cast<size_t>(end - offset));
  Descriptor fd;
  for (uint64_t at = offset; at < end;) {
    uint64_t index = at / kBlockSize;
    uint64_t blockEnd = std::min((index + 1) * kBlockSize, end);
    size_t part = static_cast<size_t>(blockEnd - at);
    if (blocks_[index] != Block::present) return std::nullopt;
    char* into = out.data() + (at - offset);
    if (auto block = memory_.find(index); block != memory_.end()) {
      uint64_t from = at - index * kBlockSize;
      if (block->second.bytes.size() < from + part) return std::nullopt;
      std::memcpy(into, block->second.bytes.data() + from, part);
      block->second.read = true;
    } else {
      if (!fd) {
        auto opened = descriptor();
        if (!opened) return std::nullopt;
        fd = *opened;
      }
      if (::pread(fd->get(), into, part, static_cast<off_t>(at)) != static_cast<ssize_t>(part)) {
        return std::nullopt;
      }
    }
    at = blockEnd;
  }
  return out;
}

void CacheEntry::readingAt(uint64_t offset) {
  std::lock_guard lock(mutex_);
  readPoint_ = offset / kBlockSize;
}

// A quarter of the window behind the reader, for reads that come a little
// out of order, and the rest ahead.
std::pair<uint64_t, uint64_t> CacheEntry::windowLocked() const {
  uint64_t start = readPoint_ - std::min(readPoint_, kStreamWindowBlocks / 4);
  return {start, start + kStreamWindowBlocks};
}

size_t CacheEntry::blocksInMemory() const {
  std::lock_guard lock(mutex_);
  return memory_.size();
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
  if (streaming()) {
    // Read through: only what fits the memory window. Read-ahead meant for
    // beyond it fills the window instead.
    auto [low, high] = windowLocked();
    if (wanted.first >= high) wanted.first = low;
    end = std::min(end, high);
  }
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
    if (!memory_.contains(index)) mapChanged_ = true;
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
  auto fd = descriptor();
  std::vector<char> buffer(kBlockSize);
  for (uint64_t index : toCheck) {
    uint64_t offset = index * kBlockSize;
    size_t length = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - offset));
    size_t got = 0;
    while (fd && got < length) {
      ssize_t n = ::pread((*fd)->get(), buffer.data() + got, length - got,
                          static_cast<off_t>(offset + got));
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
    memory_.clear();
    mapChanged_ = true;
    updateCompleteLocked();
    // Gives the space back; the file keeps its length.
    if (auto fd = descriptor()) {
      (void)!::ftruncate((*fd)->get(), 0);
      (void)!::ftruncate((*fd)->get(), static_cast<off_t>(size_));
    }
  }
  changed_.notify_all();
}

std::optional<BlockMap> CacheEntry::takeChangedMap() {
  std::lock_guard lock(mutex_);
  if (!mapChanged_ || transient_) return std::nullopt;
  mapChanged_ = false;
  return mapLocked();
}

std::optional<BlockMap> CacheEntry::settledMap() const {
  std::lock_guard lock(mutex_);
  if (mapChanged_ || transient_) return std::nullopt;
  return mapLocked();
}

BlockMap CacheEntry::mapLocked() const {
  BlockMap map(size_);
  for (uint64_t i = 0; i < blocks_.size(); ++i) {
    // Blocks held in memory are not in the file.
    map.present[i] = blocks_[i] == Block::present && !memory_.contains(i);
    map.checksums[i] = checksums_[i];
  }
  return map;
}

void CacheEntry::markMapChanged() {
  std::lock_guard lock(mutex_);
  mapChanged_ = true;
}

}  // namespace lumora::fuse
