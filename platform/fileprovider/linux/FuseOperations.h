#pragma once
// The kernel's requests, answered by a DomainFilesystem. Every callback takes
// one path to the kernel: a reply, or an errno from Errno.h; no exception
// leaves a callback.

#include <fuse_lowlevel.h>

#include <atomic>
#include <ctime>

#include "platform/fileprovider/linux/DomainFilesystem.h"

namespace lumora::fuse {

#ifndef LUMORA_KERNEL_CACHE_SECONDS
#define LUMORA_KERNEL_CACHE_SECONDS 2.0
#endif
// How long the kernel may keep entries and attributes without asking.
inline constexpr double kKernelCacheSeconds = LUMORA_KERNEL_CACHE_SECONDS;

struct FuseContext {
  DomainFilesystem* filesystem = nullptr;
  std::atomic<fuse_session*> session{nullptr};  // set once the session exists
  uid_t owner = 0;
  gid_t group = 0;
  std::time_t mountedAt = 0;
};

const fuse_lowlevel_ops& fuseOperations();

}  // namespace lumora::fuse
