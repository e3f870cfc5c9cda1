#pragma once
// What the mounted domain does for each kernel request, free of FUSE: the
// replica is filled from enumerations, files are materialised through the
// content cache, and every change goes to the extension's refusals.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/fileprovider/linux/BackgroundQueue.h"
#include "platform/fileprovider/linux/ContentCache.h"
#include "platform/fileprovider/linux/ContentReader.h"
#include "platform/fileprovider/linux/ExtensionDriver.h"
#include "platform/fileprovider/linux/Replica.h"
#include "platform/fileprovider/linux/SingleFlight.h"

namespace lumora::fuse {

#ifndef LUMORA_LISTING_MAX_AGE_MS
#define LUMORA_LISTING_MAX_AGE_MS 3000
#endif
// A folder's listing older than this is enumerated again when it is opened.
inline constexpr std::chrono::milliseconds kListingMaxAge{LUMORA_LISTING_MAX_AGE_MS};

// A folder being read is likely to be descended into, and its next siblings
// to be read after it: the first kPrefetchAhead subfolders of each that were
// never listed are listed ahead, kPrefetchThreads at a time. Only so many:
// a listing is kept for good, so that reading one folder must not pull in a
// whole tree.
inline constexpr unsigned kPrefetchThreads = 3;
inline constexpr size_t kPrefetchAhead = 16;

// Files up to this size are fetched whole as they are opened, with one
// request for the object; larger ones block by block as they are read.
inline constexpr uint64_t kWholeFetchLimit = 1 << 20;

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
};

// The read-only extended attributes of a file.
inline constexpr const char* kStateAttribute = "user.lumora.state";  // cloud, partial, cached
inline constexpr const char* kVersionAttribute = "user.lumora.version";

// Bytes of an open file to hand to the kernel: `length` bytes of `fd` from
// `offset`, all present.
struct ReadSpan {
  int fd = -1;
  uint64_t offset = 0;
  size_t length = 0;
};

// A folder's entries as the kernel is to be given them.
struct DirectoryEntries {
  std::vector<DirEntry> entries;
  // The kernel was given these very entries before: a copy it kept is current.
  bool unchanged = false;
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

class DomainFilesystem {
 public:
  DomainFilesystem(fileprovider::ReplicatedExtension& extension, ContentCache& cache,
                   Clock clock = std::chrono::steady_clock::now,
                   std::chrono::steady_clock::duration maxListingAge = kListingMaxAge,
                   std::shared_ptr<Retry> retry = nullptr);
  ~DomainFilesystem();
  DomainFilesystem(const DomainFilesystem&) = delete;
  DomainFilesystem& operator=(const DomainFilesystem&) = delete;

  Result<NodeInfo> lookup(Inode parent, std::string_view name);
  Result<NodeInfo> attributes(Inode inode);
  // The folder's entries, enumerated again first when its listing has aged.
  Result<DirectoryEntries> openDirectory(Inode inode);
  Result<std::unique_ptr<OpenedFile>> openFile(Inode inode, int flags);
  // Waits for the blocks of [offset, offset + size) and says where they are.
  Result<ReadSpan> read(OpenedFile& file, uint64_t offset, size_t size);
  // The read-only extended attributes of files: their cache state and
  // content version. Names with no value here answer ENODATA.
  Result<std::string> extendedAttribute(Inode inode, std::string_view name);
  std::vector<std::string> extendedAttributeNames(Inode inode);

  // The refusals. Each asks the extension, waits for its answer, and yields
  // the errno for the kernel: EROFS, or ENOENT when the target is unknown.
  int refuseCreate(Inode parent, std::string_view name, bool directory);
  int refuseModify(Inode inode);
  int refuseDelete(Inode parent, std::string_view name);
  int refuseRename(Inode parent, std::string_view name);

  // The domain was signalled: ask the container's enumerator for changes and
  // mark every listing stale.
  Result<void> signal(const fileprovider::ItemIdentifier& container);

  // The domain is going away: nothing waits for the extension any more,
  // neither the kernel's requests nor the listings made ahead.
  void stopWaiting() {
    driver_.stopWaiting();
    reader_.stop();
  }

  // Where changes of the replica go from now on; none stops them.
  void setKernelCache(KernelCache* kernel);

  Replica& replica() { return replica_; }

 private:
  Result<void> ensureListing(Inode folder);
  Result<void> refresh(Inode folder);
  void prefetchAround(const NodeInfo& folder);
  Result<fileprovider::ItemPtr> fetchIntoCache(const NodeInfo& node);
  Result<ContentCache::Lease> openLarge(const NodeInfo& node, const ContentSource& source);
  void contentsGone(const OpenedFile& file);
  fileprovider::ItemPtr itemOf(const NodeInfo& node);
  void updateItem(const fileprovider::ItemPtr& item);
  void tellKernel(Inode folder, const ListingChanges& changes);

  ExtensionDriver driver_;
  ContentCache& cache_;
  ContentReader reader_;
  Replica replica_;  // thread-safe itself
  SingleFlight<Inode, Result<void>> listings_;
  SingleFlight<std::string, Result<fileprovider::ItemPtr>> fetches_;
  std::mutex mutex_;
  std::map<Inode, fileprovider::Bytes> servedVersions_;  // protected by mutex_
  std::mutex kernelMutex_;
  KernelCache* kernel_ = nullptr;  // protected by kernelMutex_
  // Last: its threads use everything above, and it waits for them as it goes.
  BackgroundQueue<Inode> prefetch_;
};

}  // namespace lumora::fuse
