#include "platform/fileprovider/linux/Replica.h"

#include <set>

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

Inode Replica::inodeForLocked(const fp::ItemIdentifier& identifier) {
  auto [it, inserted] = inodes_.try_emplace(identifier, nextInode_);
  if (inserted) ++nextInode_;
  return it->second;
}

void Replica::fillFromItem(NodeInfo& node, const fp::ItemPtr& item) {
  node.item = item;
  node.isDirectory = item->contentType() == "inode/directory";
  node.size = node.isDirectory ? 0 : item->documentSize().value_or(0);
  node.contentVersion = item->itemVersion().contentVersion;
}

void Replica::applyListing(Inode folder, const std::vector<fp::ItemPtr>& items) {
  std::lock_guard lock(mutex_);
  Listing listing;
  listing.listedAt = clock_();
  for (const auto& item : items) {
    if (!item) continue;
    std::string name = item->filename();
    if (!isUsableFileName(name) || listing.byName.contains(name)) continue;
    fp::ItemIdentifier identifier = item->itemIdentifier();
    // An item cannot be its own folder's child; such a record would loop.
    auto self = inodes_.find(identifier);
    if (identifier.empty() || (self != inodes_.end() && self->second == folder)) continue;
    Inode inode = inodeForLocked(identifier);
    NodeInfo& node = nodes_[inode];
    node.inode = inode;
    node.parent = folder;
    node.identifier = identifier;
    fillFromItem(node, item);
    listing.byName.emplace(name, inode);
    listing.entries.emplace_back(std::move(name), inode);
  }
  listings_[folder] = std::move(listing);
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
    result.push_back(DirEntry{name, nodes_.at(inode)});
  }
  return result;
}

void Replica::updateItem(const fp::ItemPtr& item) {
  if (!item) return;
  std::lock_guard lock(mutex_);
  auto known = inodes_.find(item->itemIdentifier());
  if (known == inodes_.end()) return;
  NodeInfo& node = nodes_.at(known->second);
  // A folder stays a folder: the kernel already holds the inode's type.
  bool wasDirectory = node.isDirectory;
  fillFromItem(node, item);
  if (known->second == kRootInode || node.isDirectory != wasDirectory) {
    node.isDirectory = wasDirectory;
  }
}

void Replica::markAllStale() {
  std::lock_guard lock(mutex_);
  for (auto& [inode, listing] : listings_) listing.stale = true;
}

size_t Replica::size() const {
  std::lock_guard lock(mutex_);
  return nodes_.size();
}

}  // namespace lumora::fuse
