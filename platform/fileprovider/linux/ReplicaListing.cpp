// How a new listing of a folder is merged into the replica: the names it
// shows, the items it refuses, the dates the folder takes from it, and what
// the kernel must be told.

#include <unordered_set>

#include "platform/fileprovider/linux/Log.h"
#include "platform/fileprovider/linux/Replica.h"

namespace lumora::fuse {

namespace {

// The name with " (n)" before which a name given twice is shown, cut back
// (at a character's start) so that the whole stays within 255 bytes.
std::string suffixed(std::string_view name, int number) {
  std::string suffix = " (" + std::to_string(number) + ")";
  size_t keep = std::min(name.size(), 255 - suffix.size());
  while (keep > 0 && keep < name.size() &&
         (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return std::string(name.substr(0, keep)) + suffix;
}

}  // namespace

ListingChanges Replica::applyListing(Inode folder, std::vector<ListedItem> items) {
  // Every record's own name, so that a suffix never takes one of them.
  std::unordered_set<std::string_view> ownNames;
  ownNames.reserve(items.size());
  for (const auto& item : items) {
    if (!item.identifier.empty()) ownNames.insert(item.name);
  }

  ListingChanges changes;
  std::lock_guard lock(mutex_);
  if (!nodes_.contains(folder)) return changes;  // the folder itself is gone
  auto previous = listings_.find(folder);
  std::vector<std::pair<std::string, Inode>> before;
  if (previous != listings_.end()) {
    before.reserve(previous->second.entries.size());
    for (Inode inode : previous->second.entries) {
      Node& node = nodes_.at(inode);
      before.emplace_back(node.name, inode);
      node.listed = false;  // set again below for those listed now
    }
  }

  Listing listing;
  listing.listedAt = clock_();
  listing.entries.reserve(items.size());
  std::unordered_set<std::string> shown;
  shown.reserve(items.size());
  int64_t newest = 0;
  for (auto& item : items) {
    if (item.identifier.empty()) continue;
    auto known = inodes_.find(item.identifier);
    Inode inode = known == inodes_.end() ? 0 : known->second;
    if (inode != 0 && isAncestorLocked(inode, folder)) {
      // It would make the tree a loop (or replace the root).
      log("a listing names %s, which holds the folder listed; not shown", item.identifier.c_str());
      continue;
    }
    if (inode != 0 && nodes_.at(inode).listed && nodes_.at(inode).parent == folder) {
      continue;  // the same item twice in one listing
    }
    std::string name = std::move(item.name);
    if (shown.contains(name)) {
      std::string own = name;
      for (int number = 2;; ++number) {
        name = suffixed(own, number);
        if (!shown.contains(name) && !ownNames.contains(name)) break;
      }
      if (inode == 0 || nodes_.at(inode).name != name) {
        log("two records of one listing are named %s; the later one shows as %s", own.c_str(),
            name.c_str());
      }
    }
    if (inode == 0) {
      inode = nextInode_++;
      Node& node = nodes_[inode];
      node.identifier = std::move(item.identifier);
      node.isDirectory = item.isDirectory;
      inodes_.emplace(node.identifier, inode);
    } else {
      Node& node = nodes_.at(inode);
      // An item listed in another folder before has moved here.
      if (node.listed && node.parent != folder) unlistLocked(node.parent, inode);
      if (node.size != item.size || node.isDirectory != item.isDirectory ||
          (!item.isDirectory && node.modified != item.modified)) {
        changes.changedAttributes.push_back(inode);
      }
    }
    Node& node = nodes_.at(inode);
    node.parent = folder;
    node.name = name;
    node.listed = true;
    node.isDirectory = item.isDirectory;
    node.size = item.size;
    node.contentVersion = std::move(item.contentVersion);
    // A folder's date comes from its own listing once it has one.
    if (!item.isDirectory || !listings_.contains(inode)) node.modified = item.modified;
    newest = std::max(newest, item.modified);
    shown.insert(std::move(name));
    listing.entries.push_back(inode);
  }
  sortByNameLocked(listing);

  bool entriesChanged = previous == listings_.end() || before.size() != listing.entries.size();
  for (size_t i = 0; i < before.size(); ++i) {
    const auto& [name, inode] = before[i];
    if (!entriesChanged &&
        (listing.entries[i] != inode || nodes_.at(listing.entries[i]).name != name)) {
      entriesChanged = true;
    }
    if (childLocked(listing, name) != inode) changes.goneNames.push_back(name);
  }
  changes.entriesChanged =
      previous != listings_.end() && (entriesChanged || !changes.changedAttributes.empty());

  // The folder's date: the newest of what it lists, else the time its
  // entries were first seen as they are.
  Node& self = nodes_.at(folder);
  int64_t date = newest != 0                            ? newest
                 : entriesChanged || self.modified == 0 ? wallClock_()
                                                        : self.modified;
  if (date != self.modified) {
    // The kernel may hold the date it was shown before, unless it had none.
    if (self.modified != 0) changes.changedAttributes.push_back(folder);
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

}  // namespace lumora::fuse
