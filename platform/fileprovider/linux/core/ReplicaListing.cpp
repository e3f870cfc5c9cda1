// How a new listing of a folder is merged into the replica: the names it
// shows, the items it refuses, the dates the folder takes from it, and what
// the kernel must be told.

#include <malloc.h>

#include <algorithm>
#include <unordered_set>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/core/Replica.h"

namespace lumora::fuse {

namespace {

// A listing this big leaves megabytes of freed records behind: they go back
// to the system rather than stay with the daemon.
constexpr size_t kTrimAfterItems = 10000;

}  // namespace

ListingChanges Replica::applyListing(Inode folder, std::vector<ListedItem> items, bool complete) {
  ListingChanges changes = mergeListing(folder, items, complete);
  size_t count = items.size();
  items = {};
  if (count >= kTrimAfterItems) ::malloc_trim(0);
  return changes;
}

ListingChanges Replica::applyStoredListing(Inode folder, std::vector<ListedItem> items) {
  return mergeListing(folder, items, true, true);
}

ListingChanges Replica::mergeListing(Inode folder, std::vector<ListedItem>& items, bool complete,
                                     bool stored) {
  // Every record's own name with its place, sorted: a record is shown under
  // a suffix when an earlier one has its name, and a suffix never takes a
  // record's own name.
  std::vector<std::pair<std::string_view, uint32_t>> ownNames;
  ownNames.reserve(items.size());
  for (uint32_t i = 0; i < items.size(); ++i) {
    if (!items[i].identifier.empty()) ownNames.emplace_back(items[i].name, i);
  }
  std::sort(ownNames.begin(), ownNames.end());
  auto firstWithName = [&](std::string_view name) {
    auto it = std::lower_bound(ownNames.begin(), ownNames.end(), std::pair(name, uint32_t{0}));
    return it != ownNames.end() && it->first == name ? std::optional(it->second) : std::nullopt;
  };

  ListingChanges changes;
  std::lock_guard lock(mutex_);
  if (!existsLocked(folder)) return changes;                 // the folder itself is gone
  if (stored && listings_.contains(folder)) return changes;  // one from the service came first
  auto previous = listings_.find(folder);
  std::vector<std::pair<std::string, Inode>> before;
  if (previous != listings_.end() && previous->second.storedFolder != 0) {
    // A big folder's rows: their names stand for other inodes now.
    for (int64_t id : store_->rowIds(previous->second.storedFolder)) {
      if (auto row = store_->row(id)) {
        before.emplace_back(std::move(row->name), kStoredInodeBase + static_cast<Inode>(id));
      }
    }
    storedFolders_.erase(previous->second.storedFolder);
  } else if (previous != listings_.end()) {
    before.reserve(previous->second.entries.size());
    for (Inode inode : previous->second.entries) {
      Node& node = nodes_.at(inode);
      before.emplace_back(nameOf(node), inode);
      node.listed = false;  // set again below for those listed now
    }
  }

  Listing listing;
  listing.listedAt = stored ? clock_() - maxListingAge_ : clock_();
  listing.partial = !complete;
  listing.entries.reserve(items.size());
  std::unordered_set<std::string> suffixes;  // given in this listing: few
  int64_t newest = 0;
  for (uint32_t index = 0; index < items.size(); ++index) {
    auto& item = items[index];
    if (item.identifier.empty()) continue;
    auto known = inodes_.find(item.identifier);
    Inode inode = known == inodes_.end() ? 0 : known->second;
    if (inode != 0 && isAncestorLocked(inode, folder)) {
      // It would make the tree a loop (or replace the root).
      log("a listing names %s, which holds the folder listed; not shown", item.identifier.c_str());
      continue;
    }
    if (inode != 0 && nodes_.at(inode).listed) {
      // The same item twice in one listing, or an item another folder
      // shows: an identifier has one place, and the folder that showed it
      // first keeps it (a service that lists the root's prefix under a
      // folder of its own would otherwise move every item back and forth).
      if (nodes_.at(inode).parent != folder) {
        log("a listing names %s, which another folder shows; not shown here",
            item.identifier.c_str());
      }
      continue;
    }
    std::string_view name = item.name;
    std::string suffix;
    if (firstWithName(name) != index) {
      for (int number = 2;; ++number) {
        suffix = suffixedName(item.name, number);
        if (!suffixes.contains(suffix) && !firstWithName(suffix)) break;
      }
      if (inode == 0 || nameOf(nodes_.at(inode)) != suffix) {
        log("two records of one listing are named %s; the later one shows as %s", item.name.c_str(),
            suffix.c_str());
      }
      name = suffixes.insert(suffix).first->c_str();
    }
    if (inode == 0) {
      inode = nextInode_++;
      Node& node = nodes_[inode];
      // Copied, not moved: what is kept is allocated together here, not
      // scattered among a page's freed records, so that those go back whole.
      node.identifier = item.identifier;
      node.isDirectory = item.isDirectory;
      inodes_.emplace(node.identifier, inode);
    } else {
      Node& node = nodes_.at(inode);
      // A record without a size keeps the one learned from the contents.
      if (!item.sizeKnown && node.sizeKnown && node.contentVersion == item.contentVersion) {
        item.size = node.size;
        item.sizeKnown = true;
      }
      if (node.size != item.size || node.isDirectory != item.isDirectory ||
          (!item.isDirectory && node.modified != item.modified)) {
        changes.changedAttributes.push_back(inode);
      }
    }
    Node& node = nodes_.at(inode);
    node.parent = folder;
    setName(node, name);
    node.listed = true;
    node.isDirectory = item.isDirectory;
    node.size = item.size;
    node.sizeKnown = item.sizeKnown;
    if (node.contentVersion != item.contentVersion) node.contentVersion = item.contentVersion;
    // A folder's date comes from its own listing once it has one.
    if (!item.isDirectory || !listings_.contains(inode)) node.modified = item.modified;
    newest = std::max(newest, item.modified);
    listing.entries.push_back(inode);
  }
  sortByNameLocked(listing);

  bool entriesChanged = previous == listings_.end() || before.size() != listing.entries.size();
  for (size_t i = 0; i < before.size(); ++i) {
    const auto& [name, inode] = before[i];
    if (!entriesChanged &&
        (listing.entries[i] != inode || nameOf(nodes_.at(listing.entries[i])) != name)) {
      entriesChanged = true;
    }
    if (childLocked(listing, name) != inode) changes.goneNames.push_back(name);
  }
  changes.entriesChanged =
      previous != listings_.end() && (entriesChanged || !changes.changedAttributes.empty());

  // The folder's date: the newest of what it lists, else the time its
  // entries were first seen as they are. A big folder's item keeps its row's.
  Node none;
  auto selfAt = nodes_.find(folder);
  Node& self = selfAt != nodes_.end() ? selfAt->second : none;
  int64_t date = newest != 0                            ? newest
                 : entriesChanged || self.modified == 0 ? wallClock_()
                                                        : self.modified;
  if (date != self.modified) {
    // The kernel may hold the date it was shown before, unless it had none.
    if (self.modified != 0 && selfAt != nodes_.end()) changes.changedAttributes.push_back(folder);
    self.modified = date;
  }
  for (Inode child : listing.entries) {
    Node& node = nodes_.at(child);
    // A subfolder not listed yet and without a date of its own.
    if (node.isDirectory && node.modified == 0) node.modified = self.modified;
  }

  if (previous == listings_.end()) {
    listings_.emplace(folder, std::move(listing));
  } else {
    listing.served = previous->second.served && !changes.entriesChanged;
    previous->second = std::move(listing);
  }
  for (const auto& [name, inode] : before) dropIfUnusedLocked(inode);
  return changes;
}

ListingChanges Replica::applyBigListing(Inode folder, const StagedCommit& commit, bool kept) {
  ListingChanges changes;
  std::vector<Inode> before;
  std::lock_guard lock(mutex_);
  if (!existsLocked(folder)) return changes;
  auto previous = listings_.find(folder);
  if (kept && previous != listings_.end()) return changes;  // one from the service came first
  Listing listing;
  listing.listedAt = kept ? clock_() - maxListingAge_ : clock_();
  listing.storedFolder = commit.folder.id;
  listing.storedCount = commit.folder.count;
  changes.goneNames = commit.goneNames;
  for (int64_t row : commit.changedRows) {
    changes.changedAttributes.push_back(kStoredInodeBase + static_cast<Inode>(row));
  }
  bool entriesChanged = !changes.goneNames.empty() || !changes.changedAttributes.empty();
  if (previous != listings_.end() && previous->second.storedFolder == 0) {
    // Held in memory until now: each name now stands for a row's inode.
    before = std::move(previous->second.entries);
    for (Inode inode : before) {
      Node& node = nodes_.at(inode);
      changes.goneNames.emplace_back(nameOf(node));
      node.listed = false;
    }
    entriesChanged = true;
  } else if (previous != listings_.end()) {
    entriesChanged = entriesChanged || previous->second.storedCount != listing.storedCount;
    if (previous->second.storedFolder != commit.folder.id) {
      storedFolders_.erase(previous->second.storedFolder);
    }
  }
  changes.entriesChanged = previous != listings_.end() && entriesChanged;
  storedFolders_[commit.folder.id] = folder;
  if (auto self = nodes_.find(folder); self != nodes_.end() && self->second.modified == 0) {
    self->second.modified = wallClock_();
  }
  if (previous == listings_.end()) {
    listings_.emplace(folder, std::move(listing));
  } else {
    listing.served = previous->second.served && !changes.entriesChanged;
    previous->second = std::move(listing);
  }
  for (Inode inode : before) dropIfUnusedLocked(inode);
  return changes;
}

}  // namespace lumora::fuse
