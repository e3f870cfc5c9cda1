#include "platform/fileprovider/linux/core/DomainFilesystem.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/fileprovider/linux/base/Errno.h"
#include "platform/fileprovider/linux/base/Log.h"

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

namespace {
Error posix(int code, const char* what) {
  return Error{kPosixErrorDomain, code, what};
}

// Said by a large file's first block when the file must be read whole.
Error wholeOnly() {
  return Error{kPosixErrorDomain, EAGAIN, "the file is to be read whole"};
}

template <class T>
bool isReady(const std::shared_future<T>& future) {
  return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}
}  // namespace

// A listing of a folder under way: its pages so far, and the promise that
// those joining it wait on. One that goes unfinished (the daemon stops, or
// the walk threw) ends its waiters with an error.
struct DomainFilesystem::ListingRun {
  ListingRun(DomainFilesystem& owner, Inode folder) : owner(owner), folder(folder) {}
  ListingRun(const ListingRun&) = delete;
  ListingRun& operator=(const ListingRun&) = delete;
  ~ListingRun() {
    if (!landed) (void)owner.land(*this, std::unexpected(posix(EIO, "the listing stopped")));
  }

  DomainFilesystem& owner;
  const Inode folder;
  std::unique_ptr<ListingWalk> walk;
  fp::ItemIdentifier identifier;  // the folder's
  std::promise<Result<void>> promise;
  // A big folder's: its pages go to the store, none of them to be named
  // by the folder or one above it (see Replica::lineage).
  bool spilling = false;
  std::vector<fp::ItemIdentifier> lineage;
  bool showFirstPage = false;  // the folder had no whole listing when it began
  bool landed = false;         // protected by owner.mutex_
};

DomainFilesystem::DomainFilesystem(fp::ReplicatedExtension& extension, ContentCache& cache,
                                   Clock clock, std::chrono::steady_clock::duration maxListingAge,
                                   std::shared_ptr<Retry> retry,
                                   std::chrono::steady_clock::duration requestBound,
                                   ItemStore* store)
    : driver_(extension, std::move(retry), requestBound),
      cache_(cache),
      store_(store),
      reader_(driver_),
      replica_(maxListingAge, std::move(clock)),
      ahead_(replica_, kWholeFetchLimit,
             [this](Inode file) {
               auto node = replica_.node(file);
               // Nothing ahead that the cache could not keep.
               if (!node || node->isDirectory ||
                   cache_.stateOf(node->identifier, node->contentVersion) !=
                       ContentCache::EntryState::absent ||
                   !cache_.hasRoomFor(static_cast<uint64_t>(std::max<int64_t>(node->size, 0)))) {
                 return false;
               }
               (void)fetchIntoCache(*node);
               return true;
             }),
      renewals_(kRenewalThreads, kMaxRenewalsWaiting,
                [this](Inode folder) {
                  auto renewed = list(folder);
                  std::lock_guard lock(mutex_);
                  renewing_.erase(folder);
                  if (!renewed &&
                      (renewed.error() == Retry::awayError() || Retry::canPass(renewed.error()))) {
                    renewalsPausedUntil_ = std::chrono::steady_clock::now() + kRenewalPause;
                  }
                }),
      prefetch_(kPrefetchThreads, 2 * kPrefetchAhead,
                [this](Inode folder) {
                  listingsAhead_.run([&] {
                    // Only a folder never listed: a listing that has merely aged
                    // is renewed when someone uses the folder.
                    if (replica_.hasListing(folder) || takeStored(folder)) return false;
                    (void)list(folder);
                    return true;
                  });
                }),
      rests_(kRestThreads, kMaxRestsWaiting,
             [this](const std::shared_ptr<ListingRun>& run) { (void)walkOn(run, false); }) {
  replica_.setStore(store_);
}

DomainFilesystem::~DomainFilesystem() {
  // The listings made ahead end at once rather than with their requests.
  stopWaiting();
}

Result<void> DomainFilesystem::list(Inode folder, bool firstPagesEnough) {
  std::shared_ptr<ListingRun> run;
  {
    std::unique_lock lock(mutex_);
    if (auto under = listings_.find(folder); under != listings_.end()) {
      auto joined = under->second;
      if (firstPagesEnough) {
        listed_.wait(lock, [&] { return isReady(joined) || replica_.hasListing(folder); });
        if (!isReady(joined)) return {};
      }
      lock.unlock();
      return joined.get();
    }
    // Listed whole since the caller looked: nothing more to wait for.
    auto state = replica_.listingState(folder);
    if (firstPagesEnough && state != Replica::ListingState::none &&
        state != Replica::ListingState::partial) {
      return {};
    }
    run = std::make_shared<ListingRun>(*this, folder);
    listings_.emplace(folder, run->promise.get_future().share());
  }
  auto node = replica_.node(folder);
  if (!node) return land(*run, std::unexpected(posix(ENOENT, "unknown folder")));
  if (!node->isDirectory) return land(*run, std::unexpected(posix(ENOTDIR, "not a folder")));
  auto walk = driver_.startListing(node->identifier);
  if (!walk) return land(*run, std::unexpected(walk.error()));
  run->walk = std::move(*walk);
  run->identifier = node->identifier;
  auto state = replica_.listingState(folder);
  run->showFirstPage =
      state == Replica::ListingState::none || state == Replica::ListingState::partial;
  return walkOn(run, firstPagesEnough);
}

Result<void> DomainFilesystem::walkOn(const std::shared_ptr<ListingRun>& run, bool handOff) {
  for (;;) {
    auto ended = run->walk->next();
    if (!ended) {
      // The last whole listing stays.
      if (run->spilling) store_->dropStaged(run->identifier);
      return land(*run, std::unexpected(ended.error()));
    }
    if (*ended) {
      if (spill(*run, true)) return land(*run, commitBig(*run));
      tellKernel(run->folder, applyWhole(run->folder, run->walk->takeItems()));
      return land(*run, {});
    }
    if (!run->showFirstPage) {
      spill(*run, false);
      continue;
    }
    // A folder never listed shows what its first page holds while the rest
    // is listed; the caller is answered from it, unless no thread is free.
    run->showFirstPage = false;
    tellKernel(run->folder, replica_.applyListing(run->folder, run->walk->items(), false));
    {
      std::lock_guard lock(mutex_);  // no waiter between its look and its wait
    }
    listed_.notify_all();
    if (handOff && rests_.push(run)) return {};
    spill(*run, false);
  }
}

bool DomainFilesystem::spill(ListingRun& run, bool ended) {
  if (!store_ || (!run.spilling && run.walk->items().size() <= bigListing_.load())) return false;
  // Pages are written a few thousand items at a time, not one by one.
  if (!ended && run.spilling && run.walk->items().size() < 4096) return true;
  bool first = !run.spilling;
  if (first) {
    run.spilling = true;
    run.lineage = replica_.lineage(run.folder);
  }
  auto items = run.walk->takeItems();
  std::erase_if(items, [&](const ListedItem& item) {
    if (item.identifier.empty()) return true;  // no name that can stand in a folder
    if (std::find(run.lineage.begin(), run.lineage.end(), item.identifier) == run.lineage.end()) {
      return false;
    }
    log("a listing names %s, which holds the folder listed; not shown", item.identifier.c_str());
    return true;
  });
  store_->stage(run.identifier, std::move(items), first);
  return true;
}

Result<void> DomainFilesystem::commitBig(ListingRun& run) {
  auto committed = store_->commitStaged(run.identifier, wallClockNow());
  if (!committed) return std::unexpected(committed.error());
  tellKernel(run.folder, replica_.applyBigListing(run.folder, *committed));
  return {};
}

Result<void> DomainFilesystem::land(ListingRun& run, Result<void> result) {
  {
    std::lock_guard lock(mutex_);
    if (run.landed) return result;
    run.landed = true;
    listings_.erase(run.folder);
    run.promise.set_value(result);
  }
  listed_.notify_all();
  return result;
}

ListingChanges DomainFilesystem::applyWhole(Inode folder, std::vector<ListedItem> items) {
  if (store_) {
    if (auto node = replica_.node(folder))
      store_->put(node->identifier, items, wallClockNow(), true);
  }
  return replica_.applyListing(folder, std::move(items));
}

bool DomainFilesystem::takeStored(Inode folder) {
  if (!store_) return false;
  auto node = replica_.node(folder);
  if (!node || !node->isDirectory) return false;
  if (auto big = store_->folder(node->identifier); big && big->big) {
    tellKernel(folder, replica_.applyBigListing(folder, StagedCommit{*big, {}, {}}, true));
    return true;
  }
  auto stored = store_->listing(node->identifier);
  if (!stored) return false;
  tellKernel(folder, replica_.applyStoredListing(folder, std::move(stored->items)));
  return true;
}

Result<void> DomainFilesystem::ensureListing(Inode folder) {
  auto state = replica_.listingState(folder);
  // Known from before this start: served as aged, and renewed.
  if (state == Replica::ListingState::none && takeStored(folder)) {
    state = replica_.listingState(folder);
  }
  switch (state) {
    case Replica::ListingState::fresh:
      return {};
    case Replica::ListingState::aged: {
      // Answered from what is known; the listing is renewed meanwhile, once,
      // and the kernel told of what changed.
      std::lock_guard lock(mutex_);
      if (std::chrono::steady_clock::now() < renewalsPausedUntil_) return {};
      if (renewing_.insert(folder).second && !renewals_.push(folder)) renewing_.erase(folder);
      return {};
    }
    case Replica::ListingState::none:
    case Replica::ListingState::partial:
      // Answered from the first pages; a name they lack waits for the rest.
      return list(folder, true);
    case Replica::ListingState::stale:
      break;
  }
  // Marked stale: something is known to have changed, so the answer waits
  // for the new listing; the last one still beats none while the service
  // is away.
  auto refreshed = list(folder);
  // An unreachable service is logged once, by the retries, not per folder.
  if (!refreshed && !Retry::canPass(refreshed.error())) {
    log("listing of a folder failed, keeping the last one: %s",
        refreshed.error().description.c_str());
  }
  return {};
}

void DomainFilesystem::rememberMiss(Inode folder, std::string_view name) {
  std::lock_guard lock(mutex_);
  if (misses_.size() >= kMaxRememberedMisses) misses_.erase(misses_.begin());
  misses_.emplace(folder, std::string(name));
}

Result<NodeInfo> DomainFilesystem::lookup(Inode parent, std::string_view name) {
  if (!isUsableFileName(name)) return std::unexpected(posix(ENOENT, "no such name"));
  auto folder = replica_.node(parent);
  if (!folder) return std::unexpected(posix(ENOENT, "unknown folder"));
  if (!folder->isDirectory) return std::unexpected(posix(ENOTDIR, "not a folder"));
  if (auto listed = ensureListing(parent); !listed) return std::unexpected(listed.error());
  auto child = replica_.child(parent, name);
  if (!child && replica_.listingState(parent) == Replica::ListingState::partial) {
    if (auto listed = list(parent); !listed) return std::unexpected(listed.error());
    child = replica_.child(parent, name);
  }
  if (!child) {
    // The kernel keeps the miss a while: told when a listing shows the name.
    rememberMiss(parent, name);
    return std::unexpected(fp::fileProviderError(fp::kErrorNoSuchItem));
  }
  return *child;
}

Result<NodeInfo> DomainFilesystem::attributes(Inode inode) {
  auto node = replica_.node(inode);
  if (!node) return std::unexpected(posix(ENOENT, "unknown inode"));
  return *node;
}

Result<DirectoryEntries> DomainFilesystem::openDirectory(Inode inode) {
  auto node = replica_.node(inode);
  if (!node) return std::unexpected(posix(ENOENT, "unknown inode"));
  if (!node->isDirectory) return std::unexpected(posix(ENOTDIR, "not a folder"));
  if (auto listed = ensureListing(inode); !listed) return std::unexpected(listed.error());
  prefetchAround(*node);
  DirectoryEntries result;
  // Complete first, then the entries: a listing that ends between the two
  // only makes the reader ask for the rest.
  result.complete = replica_.listingState(inode) != Replica::ListingState::partial;
  result.entries = replica_.childInodes(inode);
  result.unchanged = replica_.markEntriesServed(inode);
  return result;
}

Result<std::vector<Inode>> DomainFilesystem::wholeDirectory(Inode inode) {
  auto state = replica_.listingState(inode);
  if (state == Replica::ListingState::none && takeStored(inode)) {
    state = replica_.listingState(inode);
  }
  if (state == Replica::ListingState::none || state == Replica::ListingState::partial) {
    if (auto listed = list(inode); !listed) return std::unexpected(listed.error());
  }
  return replica_.childInodes(inode);
}

void DomainFilesystem::prefetchAround(const NodeInfo& folder) {
  for (Inode sub : replica_.unlistedFolders(folder.inode, 0, kPrefetchAhead)) prefetch_.push(sub);
  if (folder.inode == kRootInode) return;
  for (Inode next : replica_.unlistedFolders(folder.parent, folder.inode, kPrefetchAhead)) {
    prefetch_.push(next);
  }
}

Result<DomainFilesystem::Fetched> DomainFilesystem::fetchIntoCache(const NodeInfo& node) {
  return fetches_.run(node.identifier, [&]() -> Result<Fetched> {
    // A fetch that finished while this caller waited for the lock already
    // holds the version.
    if (auto cached = cache_.open(node.identifier, node.contentVersion)) {
      return Fetched{node.item, std::make_shared<ContentCache::Lease>(std::move(*cached))};
    }
    // Within its listing's age the listed version is asked for, which the
    // extension fetches without looking the item up again; a changed object
    // fails as a version no longer available. Past it, the current one.
    bool fresh = node.item && replica_.listingState(node.parent) == Replica::ListingState::fresh;
    auto fetched = driver_.fetchContents(
        node.identifier, fresh ? std::optional(node.item->itemVersion()) : std::nullopt);
    if (!fetched) return std::unexpected(fetched.error());
    auto stored =
        cache_.adopt(node.identifier, fetched->item->itemVersion().contentVersion, fetched->file);
    if (!stored) return std::unexpected(stored.error());
    // The open that fetched it tells the kernel itself (see openFile).
    replica_.updateItem(fetched->item);
    return Fetched{fetched->item, std::make_shared<ContentCache::Lease>(std::move(*stored))};
  });
}

Result<ContentCache::Lease> DomainFilesystem::openLarge(const NodeInfo& node,
                                                        const ContentSource& source) {
  // The first block says the content's size, which the entry needs.
  auto first = reader_.fetchFirstBlock(source);
  if (!first) return std::unexpected(first.error());
  // Its ranges could not be stitched: read whole instead (see openVersion).
  if (first->contents.wholeOnly) return std::unexpected(wholeOnly());
  auto lease = cache_.create(node.identifier, node.contentVersion, first->contents.fileSize);
  if (!lease) return std::unexpected(lease.error());
  ContentReader::store(lease->share(), 0, first->bytes);
  return lease;
}

Result<std::unique_ptr<OpenedFile>> DomainFilesystem::openFile(Inode inode, int flags) {
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC)) {
    return std::unexpected(refuseModify(inode));
  }
  auto node = replica_.node(inode);
  if (!node) return std::unexpected(posix(ENOENT, "unknown inode"));
  if (node->isDirectory) return std::unexpected(posix(EISDIR, "a folder"));
  // The folder's listing carries the current content version.
  if (replica_.needsListing(node->parent)) {
    (void)ensureListing(node->parent);
    if (auto fresher = replica_.node(inode)) node = std::move(fresher);
  }
  auto opened = openVersion(*node);
  // The listing named a version the service no longer holds (an aged one
  // is answered from before its renewal): the folder is listed again now,
  // so that this open reads the new version rather than fail.
  if (!opened && opened.error() == fp::fileProviderError(fp::kErrorVersionNoLongerAvailable)) {
    replica_.markStale(node->parent);
    (void)list(node->parent);
    auto fresher = replica_.node(inode);
    if (fresher && !fresher->isDirectory && fresher->contentVersion != node->contentVersion) {
      node = std::move(fresher);
      opened = openVersion(*node);
    }
  }
  if (!opened) return std::unexpected(opened.error());
  ahead_.opened(node->parent, inode);
  return opened;
}

Result<std::unique_ptr<OpenedFile>> DomainFilesystem::openVersion(const NodeInfo& node) {
  auto opened = std::make_unique<OpenedFile>();
  opened->inode = node.inode;
  opened->parent = node.parent;
  opened->source = {node.identifier, node.item ? node.item->itemVersion() : fp::ItemVersion{}};
  opened->source.version.contentVersion = node.contentVersion;
  std::string version = node.contentVersion;
  std::optional<ContentCache::Lease> lease = cache_.open(node.identifier, version);
  // A small file fetched whole before this start is checked whole now.
  if (lease && lease->size() <= kWholeFetchLimit &&
      !lease->entry().verify({0, lease->entry().blockCount()})) {
    lease.reset();
    cache_.discard(node.identifier, version);
  }
  bool partial = driver_.offersPartialContents();
  bool whole = !partial || (node.sizeKnown && static_cast<uint64_t>(node.size) <= kWholeFetchLimit);
  // Openers of one version of a file at once share its first block's fetch;
  // an open of another version has an entry of its own.
  auto openInBlocks = [&]() -> Result<void> {
    std::string key = node.identifier;
    key.push_back('\0');  // neither an identifier nor a version holds a NUL
    key += version;
    auto made = entries_.run(key, [&]() -> SharedLease {
      if (auto known = cache_.open(node.identifier, version)) {
        return std::make_shared<ContentCache::Lease>(std::move(*known));
      }
      auto large = openLarge(node, opened->source);
      if (!large) return std::unexpected(large.error());
      return std::make_shared<ContentCache::Lease>(std::move(*large));
    });
    if (!made) return std::unexpected(made.error());
    lease = (*made)->another();
    return {};
  };
  if (!lease && !whole) {
    // A file whose host tags it weakly is read whole (wholeOnly).
    auto made = openInBlocks();
    if (!made && made.error() != wholeOnly()) return std::unexpected(made.error());
  }
  if (!lease) {
    // The fetch's own lease: an entry the cache could not name lives only
    // as long as a lease holds it.
    auto fetched = fetchIntoCache(node);
    // The download's own write found the disk full (it goes to the cache's
    // disk before the cache makes room), or the cache has none: read
    // through, block by block, where a write that fails frees room or keeps
    // the block in memory.
    bool diskFull = !fetched && fetched.error().domain == kPosixErrorDomain &&
                    (fetched.error().code == ENOSPC || fetched.error().code == EDQUOT);
    if (!fetched && partial &&
        (diskFull || !cache_.hasRoomFor(static_cast<uint64_t>(std::max<int64_t>(node.size, 0))))) {
      if (auto made = openInBlocks(); !made) return std::unexpected(made.error());
    } else if (!fetched) {
      return std::unexpected(fetched.error());
    } else {
      version = fetched->item->itemVersion().contentVersion;
      opened->source.version = fetched->item->itemVersion();
      lease = fetched->lease->another();
    }
  }
  servePages(*opened, version);
  // The size the kernel sees is the content's. The open tells the kernel
  // itself before it answers: a second note from the notifier thread could
  // come after the kernel asked for the new size and make it drop the answer.
  if (!opened->directIo && lease->size() != static_cast<uint64_t>(node.size)) {
    opened->invalidateKernel = true;
    replica_.setSize(node.inode, static_cast<int64_t>(lease->size()));
  }
  opened->lease = std::move(*lease);
  return opened;
}

// The kernel keeps one page cache per inode, whatever the version each
// handle reads, and a handle's reads that find their pages there never
// reach the daemon. So the pages belong to the first version served while
// the kernel holds the inode: a handle of any other version reads direct,
// past them, and leaves them be. Handing the pages over to a newer version
// once the older handles have closed was tried, and under load a reader
// still met pages of two versions; an inode the kernel forgets starts over.
void DomainFilesystem::servePages(OpenedFile& opened, const std::string& version) {
  auto current = replica_.node(opened.inode);
  bool older = current && current->contentVersion != version;
  std::lock_guard lock(pages_->mutex);
  auto served = pages_->inodes.find(opened.inode);
  bool first = served == pages_->inodes.end();
  if (older || (!first && served->second.version != version)) {
    opened.directIo = true;
    opened.keepCache = true;  // the pages are another version's: not dropped
    return;
  }
  if (first) served = pages_->inodes.emplace(opened.inode, PageBook::Served{version, 0}).first;
  opened.keepCache = !first;
  ++served->second.handles;
  opened.pageHold = std::shared_ptr<void>(nullptr, [book = pages_, inode = opened.inode](void*) {
    std::lock_guard held(book->mutex);
    auto it = book->inodes.find(inode);
    if (it != book->inodes.end() && it->second.handles > 0) --it->second.handles;
  });
}

void DomainFilesystem::forget(Inode inode, uint64_t count) {
  if (!replica_.forget(inode, count)) return;
  std::lock_guard lock(pages_->mutex);
  auto it = pages_->inodes.find(inode);
  if (it != pages_->inodes.end() && it->second.handles == 0) pages_->inodes.erase(it);
}

Result<ReadSpan> DomainFilesystem::read(OpenedFile& file, uint64_t offset, size_t size) {
  CacheEntry& entry = file.lease.entry();
  uint64_t length = offset < entry.size() ? std::min<uint64_t>(size, entry.size() - offset) : 0;
  // Read through, a block may leave the memory window before it is copied:
  // fetched again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (entry.streaming()) entry.readingAt(offset);
    if (length > 0 && (!entry.complete() || entry.hasUnverified())) {
      auto present =
          reader_.ensure(file.source, file.lease.share(), file.readAhead, offset, length);
      if (!present) {
        if (present.error() == fp::fileProviderError(fp::kErrorVersionNoLongerAvailable)) {
          contentsGone(file);
        }
        return std::unexpected(present.error());
      }
    }
    if (!entry.streaming()) {
      int fd = file.lease.fd();
      if (fd < 0) return std::unexpected(posix(EIO, "cannot open the cached file"));
      return ReadSpan{fd, offset, static_cast<size_t>(length), {}};
    }
    if (auto bytes = entry.copy(offset, static_cast<size_t>(length))) {
      return ReadSpan{-1, offset, bytes->size(), std::move(*bytes)};
    }
  }
  return std::unexpected(posix(EIO, "the file's contents could not be held"));
}

// The version being read is no longer the stored one: its blocks are of
// no use, and the folder's listing is renewed to learn the new version.
void DomainFilesystem::contentsGone(const OpenedFile& file) {
  log("a file changed on the service while it was read; its folder is listed again");
  cache_.discard(file.source.identifier, file.source.version.contentVersion);
  replica_.markStale(file.parent);
}

Result<std::string> DomainFilesystem::extendedAttribute(Inode inode, std::string_view name) {
  auto node = replica_.node(inode);
  if (!node) return std::unexpected(posix(ENOENT, "unknown inode"));
  if (!node->isDirectory && name == kStateAttribute) {
    if (cache_.isKept(node->identifier, node->contentVersion)) return std::string("kept");
    {
      std::lock_guard lock(mutex_);
      if (keeping_.contains(node->identifier)) return std::string("downloading");
    }
    switch (cache_.stateOf(node->identifier, node->contentVersion)) {
      case ContentCache::EntryState::absent:
        return std::string("cloud");
      case ContentCache::EntryState::partial:
        return std::string("partial");
      case ContentCache::EntryState::complete:
        return std::string("cached");
      case ContentCache::EntryState::streaming:
        // No room on the disk: read through a window in memory, uncached.
        return std::string("streaming");
    }
  }
  if (!node->isDirectory && name == kVersionAttribute) return node->contentVersion;
  return std::unexpected(posix(ENODATA, "no such attribute"));
}

std::vector<std::string> DomainFilesystem::extendedAttributeNames(Inode inode) {
  auto node = replica_.node(inode);
  if (!node || node->isDirectory) return {};
  return {kStateAttribute, kVersionAttribute};
}

void DomainFilesystem::setKernelCache(KernelCache* kernel) {
  std::lock_guard lock(kernelMutex_);
  kernel_ = kernel;
}

void DomainFilesystem::updateItem(const fp::ItemPtr& item) {
  auto changed = replica_.updateItem(item);
  if (!changed) return;
  std::lock_guard lock(kernelMutex_);
  if (kernel_) kernel_->forgetAttributes(*changed);
}

void DomainFilesystem::tellKernel(Inode folder, const ListingChanges& changes) {
  // Misses the kernel keeps that the new listing now names.
  std::vector<std::string> found;
  {
    std::lock_guard lock(mutex_);
    auto it = misses_.lower_bound({folder, std::string()});
    while (it != misses_.end() && it->first == folder) {
      if (replica_.child(folder, it->second)) {
        found.push_back(it->second);
        it = misses_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::lock_guard lock(kernelMutex_);
  if (!kernel_) return;
  for (const auto& name : changes.goneNames) kernel_->forgetName(folder, name);
  for (const auto& name : found) kernel_->forgetName(folder, name);
  for (Inode inode : changes.changedAttributes) kernel_->forgetAttributes(inode);
}

fp::ItemPtr DomainFilesystem::itemOf(const NodeInfo& node) {
  if (node.item) return node.item;
  if (auto item = driver_.item(node.identifier)) {
    updateItem(*item);
    return *item;
  }
  return std::make_shared<LocalItem>(node.identifier, fp::kRootContainerItemIdentifier, "",
                                     node.isDirectory);
}

Error DomainFilesystem::refuseCreate(Inode parent, std::string_view name, bool directory) {
  auto folder = replica_.node(parent);
  if (!folder) return posix(ENOENT, "no such item");
  auto answer = driver_.createItem(
      std::make_shared<LocalItem>("", folder->identifier, std::string(name), directory));
  if (!answer) log("the extension accepted a creation; refusing it anyway");
  return posix(EROFS, "the domain is read-only");
}

Error DomainFilesystem::refuseModify(Inode inode) {
  auto node = replica_.node(inode);
  if (!node) return posix(ENOENT, "no such item");
  auto answer = driver_.modifyItem(itemOf(*node), ~fp::ItemFields{0});
  if (!answer) log("the extension accepted a change; refusing it anyway");
  return posix(EROFS, "the domain is read-only");
}

Error DomainFilesystem::refuseDelete(Inode parent, std::string_view name) {
  auto child = replica_.child(parent, name);
  if (!child) return posix(ENOENT, "no such item");
  auto answer = driver_.deleteItem(child->identifier, itemOf(*child)->itemVersion());
  if (!answer) log("the extension accepted a deletion; refusing it anyway");
  return posix(EROFS, "the domain is read-only");
}

Error DomainFilesystem::refuseRename(Inode parent, std::string_view name) {
  auto child = replica_.child(parent, name);
  if (!child) return posix(ENOENT, "no such item");
  return refuseModify(child->inode);
}

Result<void> DomainFilesystem::signal(const fp::ItemIdentifier& container) {
  auto changes = driver_.enumerateChanges(container);
  if (changes) {
    for (const auto& item : changes->updated) updateItem(item);
  }
  replica_.markAllStale();
  if (!changes) return std::unexpected(changes.error());
  return {};
}

Result<std::vector<Inode>> DomainFilesystem::freshChildren(Inode folder) {
  auto node = replica_.node(folder);
  if (!node) return std::unexpected(posix(ENOENT, "unknown inode"));
  if (!node->isDirectory) return std::unexpected(posix(ENOTDIR, "not a folder"));
  auto state = replica_.listingState(folder);
  if (state == Replica::ListingState::none) takeStored(folder);
  if (replica_.listingState(folder) != Replica::ListingState::fresh) {
    auto listed = list(folder);
    // A whole listing from before still says what is there.
    auto known = replica_.listingState(folder);
    if (!listed &&
        (known == Replica::ListingState::none || known == Replica::ListingState::partial)) {
      return std::unexpected(listed.error());
    }
  }
  return replica_.childInodes(folder);
}

Result<void> DomainFilesystem::keepContents(Inode file) {
  auto node = replica_.node(file);
  if (!node) return std::unexpected(posix(ENOENT, "unknown inode"));
  if (node->isDirectory) return std::unexpected(posix(EISDIR, "a folder"));
  if (cache_.isKept(node->identifier, node->contentVersion)) return {};
  {
    std::lock_guard lock(mutex_);
    keeping_.insert(node->identifier);
  }
  auto done = [&](Result<void> result) {
    std::lock_guard lock(mutex_);
    keeping_.erase(node->identifier);
    return result;
  };
  std::string version = node->contentVersion;
  auto lease = cache_.open(node->identifier, version);
  if (lease && !lease->entry().complete()) {
    // Read in part before: the rest of its blocks.
    ContentSource source{node->identifier,
                         node->item ? node->item->itemVersion() : fp::ItemVersion{}};
    source.version.contentVersion = version;
    ReadAhead reader;
    auto present = reader_.ensure(source, lease->share(), reader, 0, lease->size());
    if (!present) return done(std::unexpected(present.error()));
  } else if (!lease) {
    auto fetched = fetchIntoCache(*node);
    if (!fetched) return done(std::unexpected(fetched.error()));
    version = fetched->item->itemVersion().contentVersion;
    lease = fetched->lease->another();
  }
  // Held by the lease until kept, so that nothing evicts it meanwhile.
  if (!cache_.keep(node->identifier, version)) {
    return done(std::unexpected(posix(ENOSPC, "the cache has no room to keep it")));
  }
  return done({});
}

void DomainFilesystem::dropContents(Inode file) {
  auto node = replica_.node(file);
  if (!node || node->isDirectory) return;
  cache_.drop(node->identifier, node->contentVersion);
}

}  // namespace lumora::fuse
