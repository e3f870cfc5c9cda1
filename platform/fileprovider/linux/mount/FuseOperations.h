#pragma once
// The kernel's requests, answered by a DomainFilesystem. Every callback takes
// one path to the kernel: a reply, or an errno from Errno.h; no exception
// leaves a callback.

#include <fuse_lowlevel.h>

#include <cstdint>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/fileprovider/linux/core/FilesystemCore.h"
#include "platform/fileprovider/linux/mount/HeadThumbnails.h"
#include "platform/fileprovider/linux/mount/ThumbnailReaders.h"

namespace lumora::fuse {

#ifndef LUMORA_KERNEL_CACHE_SECONDS
#define LUMORA_KERNEL_CACHE_SECONDS 10.0
#endif
// How long the kernel may keep entries and attributes without asking. Every
// change the replica learns of is pushed to the kernel at once (see
// KernelNotifier), so this only bounds how long the kernel goes without a
// look-up, which renews an aged listing.
inline constexpr double kKernelCacheSeconds = LUMORA_KERNEL_CACHE_SECONDS;
// A file up to this size goes into the kernel's page cache as it is opened,
// so that reading it costs no further request.
inline constexpr uint64_t kPreloadBytes = 128 * 1024;

// The open files and folders of one mount. The kernel may still hold some
// when the session ends (a release is sent after close() returns), so the
// table, not the kernel, owns them.
class HandleTable {
 public:
  template <class T>
  uint64_t add(std::unique_ptr<T> handle) {
    std::lock_guard lock(mutex_);
    uint64_t id = nextId_++;
    handles_.emplace(id, std::shared_ptr<void>(std::move(handle)));
    return id;
  }
  template <class T>
  std::shared_ptr<T> get(uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(id);
    return it == handles_.end() ? nullptr : std::static_pointer_cast<T>(it->second);
  }
  void remove(uint64_t id) {
    std::shared_ptr<void> doomed;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    auto it = handles_.find(id);
    if (it == handles_.end()) return;
    doomed = std::move(it->second);
    handles_.erase(it);
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, std::shared_ptr<void>> handles_;  // protected by mutex_
  uint64_t nextId_ = 1;                                          // protected by mutex_
};

struct FuseContext {
  FilesystemCore* filesystem = nullptr;
  std::atomic<fuse_session*> session{nullptr};  // set once the session exists
  uid_t owner = 0;
  gid_t group = 0;
  std::time_t mountedAt = 0;
  std::filesystem::path mountpoint;
  std::filesystem::path shownAt;  // where users see the mount; the mount point by default
  // Readers that get only what is cached; none lets every reader fetch.
  std::unique_ptr<ThumbnailReaders> thumbnailReaders;
  // Draws photos' thumbnails from their heads for the readers above.
  std::unique_ptr<HeadThumbnails> headThumbnails;
  HandleTable handles;
};

const fuse_lowlevel_ops& fuseOperations();

// Where users see the file: its names up to the root, under the context's
// `shownAt`, as the file manager names it (and the desktop keys its
// thumbnails). Empty when a name on the way is not known.
std::filesystem::path shownPathOf(FuseContext& ctx, uint64_t inode);

}  // namespace lumora::fuse
