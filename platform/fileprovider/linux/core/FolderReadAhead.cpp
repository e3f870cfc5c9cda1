#include "platform/fileprovider/linux/core/FolderReadAhead.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace lumora::fuse {

namespace {
// Folders whose readers are followed at once; the oldest goes first.
constexpr size_t kMaxReaders = 64;
}  // namespace

FolderReadAhead::FolderReadAhead(const Replica& replica, uint64_t largestFile, Fetch fetch)
    : replica_(replica),
      largestFile_(largestFile),
      fetch_(std::move(fetch)),
      queue_(kReadAheadThreads, kFilesAhead * kReadAheadThreads,
             [this](Inode file) { run(file); }) {}

size_t FolderReadAhead::opened(Inode folder, Inode file) {
  std::lock_guard lock(mutex_);
  if (!readers_.contains(folder) && readers_.size() >= kMaxReaders) {
    readers_.erase(readers_.begin());
  }
  Reader& reader = readers_[folder];
  std::vector<std::pair<Inode, std::optional<int64_t>>> next;
  if (reader.last != 0) next = replica_.filesAfter(folder, reader.last, 1);
  bool inOrder = !next.empty() && next.front().first == file;
  reader.inOrder = inOrder ? reader.inOrder + 1 : 1;
  reader.last = file;
  if (!inOrder) {
    // Gone elsewhere: what waits for this folder is no longer wanted.
    std::erase_if(wanted_, [&](const auto& entry) { return entry.second == folder; });
    reader.queuedThrough = 0;
  }
  if (reader.inOrder < kOpensInOrder) return 0;
  auto window = replica_.filesAfter(folder, file, kFilesAhead);
  // What an earlier open queued has been fetched or is on its way: queued
  // again, it would cost a thread's wake-up per file for nothing.
  bool seen =
      std::ranges::any_of(window, [&](const auto& f) { return f.first == reader.queuedThrough; });
  uint64_t bytes = 0;
  size_t queued = 0;
  for (auto [ahead, size] : window) {
    // A file listed without a size may be of any size: it is left to be
    // read in blocks rather than fetched whole.
    if (!size || static_cast<uint64_t>(*size) > largestFile_) continue;
    bytes += static_cast<uint64_t>(*size);
    if (bytes > kBytesAhead) break;
    if (seen) {
      seen = ahead != reader.queuedThrough;
      continue;
    }
    if (wanted_.emplace(ahead, folder).second) {
      if (!queue_.push(ahead)) {
        wanted_.erase(ahead);
        break;  // the queue is full: the next open tries again from here
      }
      ++queued;
    }
    reader.queuedThrough = ahead;
  }
  return queued;
}

void FolderReadAhead::run(Inode file) {
  gate_.run([&] {
    {
      std::lock_guard lock(mutex_);
      if (!wanted_.contains(file)) return false;  // dropped meanwhile
    }
    bool asked = fetch_(file);
    std::lock_guard lock(mutex_);
    wanted_.erase(file);
    ++fetched_;
    return asked;
  });
}

uint64_t FolderReadAhead::fetched() const {
  std::lock_guard lock(mutex_);
  return fetched_;
}

}  // namespace lumora::fuse
