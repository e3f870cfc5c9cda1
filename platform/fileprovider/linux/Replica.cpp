#include "platform/fileprovider/linux/Replica.h"

#include <algorithm>
#include <utility>

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

bool isUsableFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  return name.find('\0') == std::string_view::npos && name.find('/') == std::string_view::npos;
}

Replica::Replica(std::chrono::steady_clock::duration maxListingAge, Clock clock)
    : maxListingAge_(maxListingAge), clock_(std::move(clock)) {
  NodeInfo root;
  root.inode = kRootInode;
  root.parent = kRootInode;
  root.identifier = fp::kRootContainerItemIdentifier;
  root.isDirectory = true;
  nodes_.emplace(kRootInode, root);
  inodes_.emplace(root.identifier, kRootInode);
}

std::optional<NodeInfo> Replica::node(Inode inode) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(inode);
  if (it == nodes_.end()) return std::nullopt;
  return it->second;
}

bool Replica::needsListing(Inode folder) const {
  std::lock_guard lock(mutex_);
  auto it = listings_.find(folder);
  if (it == listings_.end()) return true;
  return it->second.stale || clock_() - it->second.listedAt >= maxListingAge_;
}

bool Replica::hasListing(Inode folder) const {
  std::lock_guard lock(mutex_);
  return listings_.contains(folder);
}

void Replica::fillFromItem(NodeInfo& node, const fp::ItemPtr& item) {
  node.item = item;
  node.isDirectory = item->contentType() == "inode/directory";
  node.size = node.isDirectory ? 0 : item->documentSize().value_or(0);
  node.contentVersion = item->itemVersion().contentVersion;
}

ListingChanges Replica::applyListing(Inode folder, const std::vector<fp::ItemPtr>& items) {
  // Everything asked of the items is asked before the lock is taken: the
  // kernel's requests for other folders wait for it meanwhile.
  struct Child {
    std::string name;
    NodeInfo node;
  };
  std::vector<Child> children;
  children.reserve(items.size());
  for (const auto& item : items) {
    if (!item) continue;
    Child child{item->filename(), {}};
    child.node.identifier = item->itemIdentifier();
    if (!isUsableFileName(child.name) || child.node.identifier.empty()) continue;
    fillFromItem(child.node, item);
    children.push_back(std::move(child));
  }

  Listing listing;
  listing.entries.reserve(children.size());
  ListingChanges changes;
  std::lock_guard lock(mutex_);
  listing.listedAt = clock_();
  for (auto& child : children) {
    if (listing.byName.contains(child.name)) continue;
    auto [known, added] = inodes_.try_emplace(child.node.identifier, nextInode_);
    if (added) {
      ++nextInode_;
    } else if (known->second == folder) {
      continue;  // an item cannot be its own folder's child; such a record would loop
    }
    Inode inode = known->second;
    child.node.inode = inode;
    child.node.parent = folder;
    if (added) {
      nodes_.emplace(inode, std::move(child.node));
    } else {
      NodeInfo& node = nodes_.at(inode);
      // A record without a size keeps the one learned from the contents.
      if (!child.node.isDirectory && !child.node.item->documentSize() &&
          child.node.contentVersion == node.contentVersion) {
        child.node.size = node.size;
      }
      if (node.size != child.node.size || node.isDirectory != child.node.isDirectory) {
        changes.changedAttributes.push_back(inode);
      }
      node = std::move(child.node);
    }
    listing.byName.emplace(child.name, inode);
    listing.entries.emplace_back(std::move(child.name), inode);
  }
  auto previous = listings_.find(folder);
  if (previous == listings_.end()) {
    listings_.emplace(folder, std::move(listing));
    return changes;
  }
  for (const auto& [name, inode] : previous->second.entries) {
    auto now = listing.byName.find(name);
    if (now == listing.byName.end() || now->second != inode) changes.goneNames.push_back(name);
  }
  // A name gone or standing for another item already makes the entries differ.
  changes.entriesChanged =
      previous->second.entries != listing.entries || !changes.changedAttributes.empty();
  listing.served = previous->second.served && !changes.entriesChanged;
  previous->second = std::move(listing);
  return changes;
}

std::optional<NodeInfo> Replica::child(Inode folder, std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return std::nullopt;
  auto entry = listing->second.byName.find(name);
  if (entry == listing->second.byName.end()) return std::nullopt;
  return nodes_.at(entry->second);
}

std::vector<DirEntry> Replica::children(Inode folder) const {
  std::lock_guard lock(mutex_);
  std::vector<DirEntry> result;
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return result;
  result.reserve(listing->second.entries.size());
  for (const auto& [name, inode] : listing->second.entries) {
    const NodeInfo& node = nodes_.at(inode);
    result.push_back(DirEntry{name, inode, node.isDirectory, node.size});
  }
  return result;
}

bool Replica::markEntriesServed(Inode folder) {
  std::lock_guard lock(mutex_);
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return false;
  return std::exchange(listing->second.served, true);
}

std::vector<Inode> Replica::unlistedFolders(Inode folder, Inode after, size_t count) const {
  std::lock_guard lock(mutex_);
  std::vector<Inode> result;
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return result;
  const auto& entries = listing->second.entries;
  auto it = entries.begin();
  if (after != 0) {
    it = std::find_if(entries.begin(), entries.end(),
                      [&](const auto& entry) { return entry.second == after; });
    if (it == entries.end()) return result;
    ++it;
  }
  for (; it != entries.end() && result.size() < count; ++it) {
    Inode inode = it->second;
    if (nodes_.at(inode).isDirectory && !listings_.contains(inode)) result.push_back(inode);
  }
  return result;
}

std::optional<Inode> Replica::updateItem(const fp::ItemPtr& item) {
  if (!item) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto known = inodes_.find(item->itemIdentifier());
  if (known == inodes_.end()) return std::nullopt;
  NodeInfo& node = nodes_.at(known->second);
  // A folder stays a folder: the kernel already holds the inode's type.
  bool wasDirectory = node.isDirectory;
  int64_t oldSize = node.size;
  fp::Bytes oldVersion = node.contentVersion;
  fillFromItem(node, item);
  if (known->second == kRootInode || node.isDirectory != wasDirectory) {
    node.isDirectory = wasDirectory;
  }
  if (!node.isDirectory && !item->documentSize() && node.contentVersion == oldVersion) {
    node.size = oldSize;
  }
  if (node.size == oldSize) return std::nullopt;
  return known->second;
}

void Replica::markAllStale() {
  std::lock_guard lock(mutex_);
  for (auto& [inode, listing] : listings_) listing.stale = true;
}

void Replica::markStale(Inode folder) {
  std::lock_guard lock(mutex_);
  auto listing = listings_.find(folder);
  if (listing != listings_.end()) listing->second.stale = true;
}

bool Replica::setSize(Inode inode, int64_t size) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(inode);
  if (it == nodes_.end() || it->second.isDirectory || it->second.size == size) return false;
  it->second.size = size;
  return true;
}

size_t Replica::size() const {
  std::lock_guard lock(mutex_);
  return nodes_.size();
}

}  // namespace lumora::fuse
