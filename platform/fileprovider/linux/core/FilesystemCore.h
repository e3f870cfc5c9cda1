#pragma once
// What the FUSE adapter knows of the daemon's core: the requests it answers,
// in the core's own terms (inodes, entries, spans of a cache file) and with
// one error type. The core is tested through it without a mount.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fileprovider/linux/content/ContentCache.h"
#include "platform/fileprovider/linux/content/ContentReader.h"
#include "platform/fileprovider/linux/core/Replica.h"
#include "platform/foundation/Error.h"

namespace lumora::fuse {

// An open file: the cache entry of the version opened, and where its reader is.
struct OpenedFile {
  Inode inode = 0;
  Inode parent = 0;
  ContentSource source;
  ContentCache::Lease lease;
  ReadAhead readAhead;
  // The kernel may keep its page cache: the same version was served before.
  bool keepCache = false;
  // The kernel's idea of the file (size, pages) is older than these contents.
  bool invalidateKernel = false;
  // Another version than the kernel's pages hold: read past them.
  bool directIo = false;
  // Held while this handle reads through the kernel's pages (see
  // DomainFilesystem::servePages).
  std::shared_ptr<void> pageHold;
};

// The read-only extended attributes of a file.
// cloud, partial, cached, kept (on this device for good), downloading (being
// kept), or streaming (read through, uncached: no room for it in the cache)
inline constexpr const char* kStateAttribute = "user.lumora.state";
inline constexpr const char* kVersionAttribute = "user.lumora.version";

// Bytes of an open file to hand to the kernel: `length` bytes of `fd` from
// `offset`, all present; with no `fd` (a file read through), `bytes`.
struct ReadSpan {
  int fd = -1;
  uint64_t offset = 0;
  size_t length = 0;
  std::string bytes;
};

// A folder's entries as the kernel is to be given them.
struct DirectoryEntries {
  std::vector<Inode> entries;
  // The kernel was given these very entries before: a copy it kept is current.
  bool unchanged = false;
  // False while the folder's first listing is under way: the entries are
  // its first pages, and the rest follow them (see wholeDirectory).
  bool complete = true;
};

// The kernel's copies of names and attributes, which it keeps for a while
// without asking: told of every change the replica learns of. Calls return
// at once and may come from any thread.
class KernelCache {
 public:
  virtual ~KernelCache() = default;
  virtual void forgetName(Inode parent, const std::string& name) = 0;
  virtual void forgetAttributes(Inode inode) = 0;
};

class FilesystemCore {
 public:
  virtual ~FilesystemCore() = default;

  virtual Result<NodeInfo> lookup(Inode parent, std::string_view name) = 0;
  virtual Result<NodeInfo> attributes(Inode inode) = 0;
  // The kernel now holds the inode once more; false when it is gone.
  virtual bool lookedUp(Inode inode) = 0;
  // The kernel forgot `count` of its look-ups of the inode.
  virtual void forget(Inode inode, uint64_t count) = 0;
  // A folder listed for the first time answers with its first pages.
  virtual Result<DirectoryEntries> openDirectory(Inode inode) = 0;
  // Every entry of the folder, once its listing has ended; those given by
  // openDirectory come first, in the same order.
  virtual Result<std::vector<Inode>> wholeDirectory(Inode inode) = 0;
  // Names and attributes of entries, in their order; inode 0 for those gone.
  virtual std::vector<DirEntry> describe(std::span<const Inode> entries) = 0;
  virtual Result<std::unique_ptr<OpenedFile>> openFile(Inode inode, int flags) = 0;
  // Waits for the blocks of [offset, offset + size) and says where they are.
  virtual Result<ReadSpan> read(OpenedFile& file, uint64_t offset, size_t size) = 0;
  // The read-only extended attributes of files: their cache state and
  // content version. Names with no value here answer ENODATA.
  virtual Result<std::string> extendedAttribute(Inode inode, std::string_view name) = 0;
  virtual std::vector<std::string> extendedAttributeNames(Inode inode) = 0;

  // The refusals: each asks the extension and yields the error for the
  // kernel, EROFS, or ENOENT when the target is unknown.
  virtual Error refuseCreate(Inode parent, std::string_view name, bool directory) = 0;
  virtual Error refuseModify(Inode inode) = 0;
  virtual Error refuseDelete(Inode parent, std::string_view name) = 0;
  virtual Error refuseRename(Inode parent, std::string_view name) = 0;

  // Where changes of the replica go from now on; none stops them.
  virtual void setKernelCache(KernelCache* kernel) = 0;
};

}  // namespace lumora::fuse
