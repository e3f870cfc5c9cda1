#pragma once
// Fetches the next small files of a folder ahead of a reader that opens its
// files one after another in listing order (grep -r, a photo folder's
// thumbnails, a build reading its sources), so that each open finds its
// contents cached instead of waiting for the requests a fetch makes. Only
// opens start it: a folder that is only listed fetches nothing. A reader
// that jumps elsewhere drops what was queued for it.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/fileprovider/linux/base/BackgroundQueue.h"
#include "platform/fileprovider/linux/base/WorkGate.h"
#include "platform/fileprovider/linux/core/Replica.h"

namespace lumora::fuse {

// Opens in listing order that start the read-ahead.
inline constexpr int kOpensInOrder = 2;
// How far ahead of the reader: files, and their bytes.
inline constexpr size_t kFilesAhead = 16;
inline constexpr uint64_t kBytesAhead = 8 << 20;
// Fetches at once. A fetch is three requests one after another, so behind
// a link with latency it mostly waits: at a 40 ms round trip one takes
// 120 ms, and eight at once bring a file every 15-20 ms. A near service
// gets four (see WorkGate).
inline constexpr unsigned kReadAheadNear = 4;
inline constexpr unsigned kReadAheadThreads = 8;

class FolderReadAhead {
 public:
  // `fetch` brings one file's contents into the cache, unless they are
  // there, and says whether it asked the service for them; files larger
  // than `largestFile`, or listed without a size, are left to be read in
  // blocks.
  using Fetch = std::function<bool(Inode file)>;
  FolderReadAhead(const Replica& replica, uint64_t largestFile, Fetch fetch);
  FolderReadAhead(const FolderReadAhead&) = delete;
  FolderReadAhead& operator=(const FolderReadAhead&) = delete;
  ~FolderReadAhead() { gate_.close(); }

  // A reader opened `file` of `folder`. Returns how many files this queued.
  size_t opened(Inode folder, Inode file);
  // Files fetched ahead so far, for tests and figures.
  uint64_t fetched() const;

 private:
  struct Reader {
    Inode last = 0;
    int inOrder = 0;
    // The last file queued ahead for this reader: the next open in order
    // queues only what lies beyond it, not the window over again.
    Inode queuedThrough = 0;
  };
  void run(Inode file);

  const Replica& replica_;
  const uint64_t largestFile_;
  const Fetch fetch_;
  // Lock order: mutex_, then the replica's own.
  mutable std::mutex mutex_;
  std::map<Inode, Reader> readers_;  // protected by mutex_; by folder
  std::map<Inode, Inode> wanted_;    // protected by mutex_; file to its folder
  uint64_t fetched_ = 0;             // protected by mutex_
  WorkGate gate_{kReadAheadNear, kReadAheadThreads, kSlowBackgroundWork};
  BackgroundQueue<Inode> queue_;  // last: its threads use the above
};

}  // namespace lumora::fuse
