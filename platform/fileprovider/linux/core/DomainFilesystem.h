#pragma once
// What the mounted domain does for each kernel request, free of FUSE: the
// replica is filled from enumerations, files are materialised through the
// content cache, and every change goes to the extension's refusals.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include "platform/fileprovider/linux/base/BackgroundQueue.h"
#include "platform/fileprovider/linux/base/SingleFlight.h"
#include "platform/fileprovider/linux/base/WorkGate.h"
#include "platform/fileprovider/linux/content/ContentCache.h"
#include "platform/fileprovider/linux/content/ContentReader.h"
#include "platform/fileprovider/linux/core/FilesystemCore.h"
#include "platform/fileprovider/linux/core/FolderReadAhead.h"
#include "platform/fileprovider/linux/core/Replica.h"
#include "platform/fileprovider/linux/driver/ExtensionDriver.h"
#include "platform/fileprovider/linux/store/ItemStore.h"

namespace lumora::fuse {

#ifndef LUMORA_LISTING_MAX_AGE_MS
#define LUMORA_LISTING_MAX_AGE_MS 3000
#endif
// A folder's listing older than this is enumerated again when it is opened.
inline constexpr std::chrono::milliseconds kListingMaxAge{LUMORA_LISTING_MAX_AGE_MS};

// A folder being read is likely to be descended into, and its next siblings
// to be read after it: the first kPrefetchAhead subfolders of each that were
// never listed are listed ahead, kPrefetchThreads at a time. Each listing is
// a round trip, so behind a link with latency the walk of a tree goes about
// as fast as that many of them at once; a near service gets three (see
// WorkGate). Only so many: a listing is kept for good, so that reading one
// folder must not pull in a whole tree.
inline constexpr unsigned kPrefetchNear = 3;
inline constexpr unsigned kPrefetchThreads = 8;
inline constexpr size_t kPrefetchAhead = 16;

// Files up to this size are fetched whole as they are opened, with one
// request for the object; larger ones block by block as they are read.
inline constexpr uint64_t kWholeFetchLimit = 1 << 20;

// Threads listing the pages after the first of folders being shown, and
// how many such listings may wait for one (the others go on in their callers).
inline constexpr unsigned kRestThreads = 4;
inline constexpr size_t kMaxRestsWaiting = 16;

// Aged listings renewed at once in the background, and how many may wait.
inline constexpr unsigned kRenewalThreads = 2;
inline constexpr size_t kMaxRenewalsWaiting = 64;
// After a renewal failed for want of the service, the others wait this
// long rather than fail once per request: an `ls -l` while it is away asks
// for thousands.
inline constexpr std::chrono::milliseconds kRenewalPause{1000};
// A listing of more items than this is a big folder's: with an item store,
// its pages go to the store as they come and it is read from there, so that
// memory does not grow with the folder (its first pages are shown from
// memory while it is listed for the first time).
inline constexpr size_t kBigListing = 20000;
// Names looked up in vain that the kernel keeps as misses, remembered so
// that a listing that shows one can tell the kernel.
inline constexpr size_t kMaxRememberedMisses = 4096;

class DomainFilesystem final : public FilesystemCore {
 public:
  DomainFilesystem(fileprovider::ReplicatedExtension& extension, ContentCache& cache,
                   Clock clock = std::chrono::steady_clock::now,
                   std::chrono::steady_clock::duration maxListingAge = kListingMaxAge,
                   std::shared_ptr<Retry> retry = nullptr,
                   std::chrono::steady_clock::duration requestBound = kRequestBound,
                   ItemStore* store = nullptr);
  ~DomainFilesystem() override;
  DomainFilesystem(const DomainFilesystem&) = delete;
  DomainFilesystem& operator=(const DomainFilesystem&) = delete;

  Result<NodeInfo> lookup(Inode parent, std::string_view name) override;
  Result<NodeInfo> attributes(Inode inode) override;
  bool lookedUp(Inode inode) override { return replica_.lookedUp(inode); }
  void forget(Inode inode, uint64_t count) override;
  // The folder's entries, enumerated again first when its listing has aged.
  Result<DirectoryEntries> openDirectory(Inode inode) override;
  Result<std::vector<Inode>> wholeDirectory(Inode inode) override;
  std::vector<DirEntry> describe(std::span<const Inode> entries) override {
    return replica_.describe(entries);
  }
  Result<std::unique_ptr<OpenedFile>> openFile(Inode inode, int flags) override;
  Result<ReadSpan> read(OpenedFile& file, uint64_t offset, size_t size) override;
  Result<std::string> extendedAttribute(Inode inode, std::string_view name) override;
  std::vector<std::string> extendedAttributeNames(Inode inode) override;

  Error refuseCreate(Inode parent, std::string_view name, bool directory) override;
  Error refuseModify(Inode inode) override;
  Error refuseDelete(Inode parent, std::string_view name) override;
  Error refuseRename(Inode parent, std::string_view name) override;

  // The domain was signalled: ask the container's enumerator for changes and
  // mark every listing stale.
  Result<void> signal(const fileprovider::ItemIdentifier& container);

  // The domain is going away: nothing waits for the extension any more,
  // neither the kernel's requests nor the listings made ahead.
  void stopWaiting() {
    driver_.stopWaiting();
    reader_.stop();
    listingsAhead_.close();
  }

  void setKernelCache(KernelCache* kernel) override;

  Replica& replica() { return replica_; }
  // For tests: big folders at fewer items.
  void setBigListing(size_t items) { bigListing_.store(items); }
  // The service was found away (refused, silent, no route) and has not
  // answered since.
  bool serviceAway() const { return driver_.retry() && driver_.retry()->away(); }
  // Inodes whose served version is remembered, for tests.
  size_t versionsServed() {
    std::lock_guard lock(pages_->mutex);
    return pages_->inodes.size();
  }

  // For what the user keeps on this device.
  // The folder's children, listed anew unless the listing is fresh; the
  // last listing when the service cannot be asked.
  Result<std::vector<Inode>> freshChildren(Inode folder);
  // Makes the file's current version whole in the cache and keeps it there.
  Result<void> keepContents(Inode file);
  // Drops what the cache holds of the file, kept or not; an open file's
  // contents go once it is closed.
  void dropContents(Inode file);
  ContentCache& cache() { return cache_; }

 private:
  struct ListingRun;
  Result<void> ensureListing(Inode folder);
  // A folder with no listing takes the one the store kept, if any.
  bool takeStored(Inode folder);
  // A whole listing from the service, kept in the store too.
  ListingChanges applyWhole(Inode folder, std::vector<ListedItem> items);
  // Lists the folder, or joins the listing of it under way. With
  // `firstPagesEnough`, a folder with no listing yet is answered as soon as
  // its first page is shown, and the rest is listed behind the caller.
  Result<void> list(Inode folder, bool firstPagesEnough = false);
  Result<void> walkOn(const std::shared_ptr<ListingRun>& run, bool handOff);
  Result<void> land(ListingRun& run, Result<void> result);
  // A big folder's pages so far go to the store (all of them once
  // `ended`); false when the listing is not a big folder's.
  bool spill(ListingRun& run, bool ended);
  Result<void> commitBig(ListingRun& run);
  void prefetchAround(const NodeInfo& folder);
  // A whole fetch's item, and the lease that holds what it stored: an
  // entry the cache could not keep by name lives only as long as it.
  struct Fetched {
    fileprovider::ItemPtr item;
    std::shared_ptr<ContentCache::Lease> lease;
  };
  Result<Fetched> fetchIntoCache(const NodeInfo& node);
  Result<ContentCache::Lease> openLarge(const NodeInfo& node, const ContentSource& source);
  Result<std::unique_ptr<OpenedFile>> openVersion(const NodeInfo& node);
  // Which versions of the inode the kernel's pages may hold, and whether
  // the handle reads through them; see openFile.
  void servePages(OpenedFile& opened, const std::string& version);
  void contentsGone(const OpenedFile& file);
  void rememberMiss(Inode folder, std::string_view name);
  fileprovider::ItemPtr itemOf(const NodeInfo& node);
  void updateItem(const fileprovider::ItemPtr& item);
  void tellKernel(Inode folder, const ListingChanges& changes);

  ExtensionDriver driver_;
  ContentCache& cache_;
  ItemStore* const store_;  // none: listings live in memory only
  std::atomic<size_t> bigListing_{kBigListing};
  ContentReader reader_;
  Replica replica_;  // thread-safe itself
  SingleFlight<std::string, Result<Fetched>> fetches_;
  using SharedLease = Result<std::shared_ptr<ContentCache::Lease>>;
  // Large files' first blocks, by identifier and version: opens of two
  // versions at once must not share an entry.
  SingleFlight<std::string, SharedLease> entries_;
  // Lock order: mutex_, then the replica's own; kernelMutex_ is taken
  // alone (under it only the notifier's queue lock).
  std::mutex mutex_;
  // The version whose pages the kernel may hold, per inode it holds, and
  // the open handles that read through those pages; an inode the kernel
  // forgets goes, pages and all. Shared with the handles, which tell it
  // when they close.
  struct PageBook {
    struct Served {
      fileprovider::Bytes version;
      size_t handles = 0;
    };
    std::mutex mutex;
    std::map<Inode, Served> inodes;  // protected by mutex
  };
  const std::shared_ptr<PageBook> pages_ = std::make_shared<PageBook>();
  std::set<std::pair<Inode, std::string>> misses_;              // protected by mutex_
  std::set<Inode> renewing_;                                    // protected by mutex_
  std::chrono::steady_clock::time_point renewalsPausedUntil_;   // protected by mutex_
  std::map<Inode, std::shared_future<Result<void>>> listings_;  // under way; mutex_
  // With mutex_: a listing under way showed its first page, or ended.
  std::condition_variable listed_;
  std::mutex kernelMutex_;
  KernelCache* kernel_ = nullptr;  // protected by kernelMutex_
  // Files being downloaded to be kept, which their state says.
  std::set<fileprovider::ItemIdentifier> keeping_;  // protected by mutex_
  // Last: their threads use everything above, and they wait for them as they go.
  FolderReadAhead ahead_;
  BackgroundQueue<Inode> renewals_;
  WorkGate listingsAhead_{kPrefetchNear, kPrefetchThreads, kSlowBackgroundWork};
  BackgroundQueue<Inode> prefetch_;
  // The pages after the first of folders listed for the first time.
  BackgroundQueue<std::shared_ptr<ListingRun>> rests_;
};

}  // namespace lumora::fuse
