#pragma once
// The replica of the domain's items that the kernel sees: an inode per item
// identifier, stable while the kernel or a listing knows it, and per folder
// the listing last enumerated with its age. Items that no listing names and
// that the kernel has forgotten leave it, so that memory follows what is
// listed rather than everything ever seen. A big folder's listing lives in
// the item store alone: its entries, look-ups and items are read there.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/fileprovider/Protocols.h"
#include "platform/fileprovider/linux/base/ListedItem.h"
#include "platform/fileprovider/linux/store/ItemStore.h"

namespace lumora::fuse {

using Inode = uint64_t;
inline constexpr Inode kRootInode = 1;  // FUSE_ROOT_ID
// The items of a big folder have the inode of their row in the item store:
// this plus the row's id. Nothing is kept in memory for them.
inline constexpr Inode kStoredInodeBase = Inode{1} << 48;
using Clock = std::function<std::chrono::steady_clock::time_point()>;
// Seconds since the epoch: the dates a listing without dates gives its folder.
using WallClock = std::function<int64_t()>;
int64_t wallClockNow();

struct NodeInfo {
  Inode inode = 0;
  Inode parent = kRootInode;
  fileprovider::ItemIdentifier identifier;
  bool isDirectory = false;
  int64_t size = 0;
  bool sizeKnown = false;  // a record or the contents gave the size
  // Seconds since the epoch; 0 when nothing gave one (the mount's start then).
  int64_t modified = 0;
  fileprovider::Bytes contentVersion;
  // Made on request from the fields above, for calls into the extension.
  fileprovider::ItemPtr item;
};

// What reading a folder needs of one child.
struct DirEntry {
  std::string name;
  Inode inode = 0;
  bool isDirectory = false;
  int64_t size = 0;
  int64_t modified = 0;
};

// What a new listing changed of the folder as the kernel may hold it: names
// that went or now stand for another item, and items whose attributes the
// kernel holds in an older form.
struct ListingChanges {
  std::vector<std::string> goneNames;
  std::vector<Inode> changedAttributes;
  // Names, inodes, types or sizes differ from the listing before: a copy of
  // the folder's entries held by the kernel is taken as out of date.
  bool entriesChanged = false;
};

class Replica {
 public:
  // `maxListingAge`: a listing older than this is enumerated again when the
  // folder is opened.
  Replica(std::chrono::steady_clock::duration maxListingAge, Clock clock,
          WallClock wallClock = wallClockNow);
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  std::optional<NodeInfo> node(Inode inode) const;
  // True when the folder has never been listed, was marked stale, or its
  // listing has aged.
  bool needsListing(Inode folder) const;
  bool hasListing(Inode folder) const;
  enum class ListingState { none, partial, fresh, aged, stale };
  // None: never listed; partial: only the first pages of the folder's first
  // listing are known; stale: marked so (a signal, a changed file); aged:
  // older than the listing age.
  ListingState listingState(Inode folder) const;
  // Replaces the folder's listing with `items` in their order. Unusable
  // names are dropped; a name given twice shows the later record as
  // "name (2)"; a record that is the root or an ancestor of the folder is
  // refused. Without `complete`, the items are the listing's first pages:
  // what they name is shown, and the rest is still to come.
  ListingChanges applyListing(Inode folder, std::vector<ListedItem> items, bool complete = true);
  ListingChanges applyListing(Inode folder, const std::vector<fileprovider::ItemPtr>& items);
  // A listing kept from before (the item store's), taken only while the
  // folder has none, and taken as aged: served, and renewed when used.
  ListingChanges applyStoredListing(Inode folder, std::vector<ListedItem> items);
  // The store reads a big folder's entries from: set before any is applied.
  void setStore(ItemStore* store) { store_ = store; }
  // The folder's listing is now the store's committed one (see
  // ItemStore::commitStaged); one kept from before this start is taken only
  // while the folder has none, and as aged.
  ListingChanges applyBigListing(Inode folder, const StagedCommit& commit, bool kept = false);
  // Identifiers of the folder and of those above it: a listing that names
  // one would make the tree a loop.
  std::vector<fileprovider::ItemIdentifier> lineage(Inode folder) const;
  std::optional<NodeInfo> child(Inode folder, std::string_view name) const;
  std::vector<DirEntry> children(Inode folder) const;
  // The folder's entries in listing order, and what they show now (inode 0
  // for one that has left the replica).
  std::vector<Inode> childInodes(Inode folder) const;
  std::vector<DirEntry> describe(std::span<const Inode> entries) const;
  // Records that the kernel is given the folder's current entries. True when
  // it was given these very entries before, so that a copy it kept is current
  // (never for a partial listing).
  bool markEntriesServed(Inode folder);
  // Up to `count` subfolders of `folder` that have no listing, in listing
  // order, starting after the child `after` (from the first child when 0).
  std::vector<Inode> unlistedFolders(Inode folder, Inode after, size_t count) const;
  // Up to `count` files of `folder` that follow the child `after` in
  // listing order, skipping folders; with their sizes when known.
  std::vector<std::pair<Inode, std::optional<int64_t>>> filesAfter(Inode folder, Inode after,
                                                                   size_t count) const;
  // Takes a newer record of a known item (after a fetch or a change report).
  // Yields its inode when the attributes the kernel sees changed.
  std::optional<Inode> updateItem(const fileprovider::ItemPtr& item);
  void markAllStale();
  void markStale(Inode folder);
  // The size the file's contents turned out to have; kept for that content
  // version while listings give none. True when it changed.
  bool setSize(Inode inode, int64_t size);
  size_t size() const;

  // The kernel's look-up count of an inode: raised before each answer that
  // hands it the inode, lowered by its FORGET. An inode the kernel holds
  // stays, listed or not.
  // False when the inode is gone: the answer must not hand it out.
  bool lookedUp(Inode inode);
  // True when the kernel holds the inode no more (nor its pages).
  bool forget(Inode inode, uint64_t count);

 private:
  struct Node {
    fileprovider::ItemIdentifier identifier;  // never changes: inodes_ views it
    fileprovider::Bytes contentVersion;
    // The name its folder's listing shows, when it is not the identifier's
    // last component (nameAt, nameSize), as it mostly is.
    std::unique_ptr<std::string> ownName;
    Inode parent = kRootInode;
    int64_t size = 0;
    int64_t modified = 0;
    uint64_t lookups = 0;  // the kernel's count
    uint16_t nameAt = 0;
    uint16_t nameSize = 0;
    bool isDirectory = false;
    bool listed = false;     // a folder's current listing names it
    bool sizeKnown = false;  // from a record or from the contents
  };
  struct Listing {
    std::vector<Inode> entries;    // the service's order
    std::vector<uint32_t> byName;  // indices into entries, sorted by name
    std::chrono::steady_clock::time_point listedAt;
    bool stale = false;
    bool partial = false;  // the first pages of a listing under way
    bool served = false;   // the kernel was given these entries
    // A big folder's id in the store, which holds its entries; 0 otherwise.
    int64_t storedFolder = 0;
    int64_t storedCount = 0;
  };
  std::optional<NodeInfo> storedNodeLocked(Inode inode) const;
  std::optional<NodeInfo> infoOfRow(const StoredRow& row) const;
  std::optional<fileprovider::ItemIdentifier> identifierOfLocked(Inode inode) const;
  bool existsLocked(Inode inode) const;
  // Where a big folder's item stands in its listing.
  std::optional<int64_t> storedPositionLocked(Inode inode) const;
  ListingChanges mergeListing(Inode folder, std::vector<ListedItem>& items, bool complete,
                              bool stored = false);
  static std::string_view nameOf(const Node& node);
  static void setName(Node& node, std::string_view name);
  NodeInfo infoOf(Inode inode, const Node& node) const;
  Inode childLocked(const Listing& listing, std::string_view name) const;
  bool isAncestorLocked(Inode candidate, Inode folder) const;
  void dropIfUnusedLocked(Inode inode);
  void sortByNameLocked(Listing& listing) const;

  const std::chrono::steady_clock::duration maxListingAge_;
  const Clock clock_;
  const WallClock wallClock_;
  mutable std::mutex mutex_;
  std::unordered_map<Inode, Node> nodes_;               // protected by mutex_
  std::unordered_map<std::string_view, Inode> inodes_;  // protected by mutex_
  std::unordered_map<Inode, Listing> listings_;         // protected by mutex_
  Inode nextInode_ = kRootInode + 1;                    // protected by mutex_
  // The inodes of big folders, by their id in the store.
  std::unordered_map<int64_t, Inode> storedFolders_;  // protected by mutex_
  ItemStore* store_ = nullptr;                        // set before use
};

}  // namespace lumora::fuse
