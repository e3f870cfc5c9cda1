#include "platform/fileprovider/linux/core/Replica.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "platform/fileprovider/linux/base/Log.h"

namespace lumora::fuse {

namespace fp = lumora::fileprovider;

namespace {

// The item the replica hands out for calls into the extension, made from
// what it keeps: the extension's own item is not kept for every record.
class ReplicaItem final : public fp::Item {
 public:
  ReplicaItem(fp::ItemIdentifier identifier, fp::ItemIdentifier parent, std::string name,
              bool isDirectory, int64_t size, fp::Bytes contentVersion, int64_t modified)
      : identifier_(std::move(identifier)),
        parent_(std::move(parent)),
        name_(std::move(name)),
        contentVersion_(std::move(contentVersion)),
        size_(size),
        modified_(modified),
        isDirectory_(isDirectory) {}
  fp::ItemIdentifier itemIdentifier() const override { return identifier_; }
  fp::ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return name_; }
  std::string contentType() const override {
    return isDirectory_ ? "inode/directory" : "application/octet-stream";
  }
  bool isFolder() const override { return isDirectory_; }
  std::optional<int64_t> documentSize() const override {
    if (isDirectory_) return std::nullopt;
    return size_;
  }
  fp::ItemVersion itemVersion() const override { return {contentVersion_, {}}; }
  fp::ItemCapabilities capabilities() const override {
    return isDirectory_ ? fp::kItemCapabilitiesAllowsContentEnumerating
                        : fp::kItemCapabilitiesAllowsReading;
  }
  std::optional<int64_t> contentModificationTime() const override {
    if (modified_ == 0) return std::nullopt;
    return modified_;
  }

 private:
  fp::ItemIdentifier identifier_, parent_;
  std::string name_;
  fp::Bytes contentVersion_;
  int64_t size_, modified_;
  bool isDirectory_;
};

}  // namespace

int64_t wallClockNow() {
  return static_cast<int64_t>(std::time(nullptr));
}

Replica::Replica(std::chrono::steady_clock::duration maxListingAge, Clock clock,
                 WallClock wallClock)
    : maxListingAge_(maxListingAge), clock_(std::move(clock)), wallClock_(std::move(wallClock)) {
  Node& root = nodes_[kRootInode];
  root.identifier = fp::kRootContainerItemIdentifier;
  root.isDirectory = true;
  inodes_.emplace(root.identifier, kRootInode);
}

std::string_view Replica::nameOf(const Node& node) {
  if (node.ownName) return *node.ownName;
  return std::string_view(node.identifier).substr(node.nameAt, node.nameSize);
}

void Replica::setName(Node& node, std::string_view name) {
  if (nameOf(node) == name) return;
  std::string_view identifier = node.identifier;
  // A key's last component, a folder's before its trailing "/".
  size_t end = identifier.ends_with('/') ? identifier.size() - 1 : identifier.size();
  if (name.size() <= end && identifier.substr(end - name.size(), name.size()) == name &&
      end <= UINT16_MAX) {
    node.ownName.reset();
    node.nameAt = static_cast<uint16_t>(end - name.size());
    node.nameSize = static_cast<uint16_t>(name.size());
  } else {
    node.ownName = std::make_unique<std::string>(name);
  }
}

NodeInfo Replica::infoOf(Inode inode, const Node& node) const {
  NodeInfo info;
  info.inode = inode;
  info.parent = node.parent;
  info.identifier = node.identifier;
  info.isDirectory = node.isDirectory;
  info.size = node.size;
  info.sizeKnown = node.sizeKnown;
  info.modified = node.modified;
  info.contentVersion = node.contentVersion;
  auto parent = inode == kRootInode ? std::nullopt : identifierOfLocked(node.parent);
  fp::ItemIdentifier parentIdentifier =
      parent ? std::move(*parent) : fp::ItemIdentifier(fp::kRootContainerItemIdentifier);
  info.item = std::make_shared<ReplicaItem>(node.identifier, std::move(parentIdentifier),
                                            std::string(nameOf(node)), node.isDirectory, node.size,
                                            node.contentVersion, node.modified);
  return info;
}

std::optional<NodeInfo> Replica::node(Inode inode) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(inode);
  if (it == nodes_.end()) return storedNodeLocked(inode);
  return infoOf(inode, it->second);
}

std::optional<NodeInfo> Replica::storedNodeLocked(Inode inode) const {
  if (inode < kStoredInodeBase || !store_) return std::nullopt;
  auto row = store_->row(static_cast<int64_t>(inode - kStoredInodeBase));
  if (!row) return std::nullopt;  // gone from its folder
  return infoOfRow(*row);
}

std::optional<NodeInfo> Replica::infoOfRow(const StoredRow& row) const {
  auto folder = storedFolders_.find(row.folder);
  if (folder == storedFolders_.end()) return std::nullopt;
  NodeInfo info;
  info.inode = kStoredInodeBase + static_cast<Inode>(row.id);
  info.parent = folder->second;
  info.identifier = row.identifier;
  info.isDirectory = row.isDirectory;
  info.size = row.size;
  info.sizeKnown = row.sizeKnown;
  info.modified = row.modified;
  info.contentVersion = row.contentVersion;
  auto parent = identifierOfLocked(folder->second);
  info.item = std::make_shared<ReplicaItem>(
      row.identifier, std::move(parent).value_or(fp::kRootContainerItemIdentifier), row.name,
      row.isDirectory, row.size, row.contentVersion, row.modified);
  return info;
}

std::optional<fp::ItemIdentifier> Replica::identifierOfLocked(Inode inode) const {
  if (auto node = nodes_.find(inode); node != nodes_.end()) return node->second.identifier;
  if (inode < kStoredInodeBase || !store_) return std::nullopt;
  auto row = store_->row(static_cast<int64_t>(inode - kStoredInodeBase));
  if (!row) return std::nullopt;
  return std::move(row->identifier);
}

std::optional<int64_t> Replica::storedPositionLocked(Inode inode) const {
  if (inode < kStoredInodeBase || !store_) return std::nullopt;
  auto row = store_->row(static_cast<int64_t>(inode - kStoredInodeBase));
  if (!row) return std::nullopt;
  return row->position;
}

bool Replica::existsLocked(Inode inode) const {
  return nodes_.contains(inode) || storedNodeLocked(inode).has_value();
}

std::vector<fp::ItemIdentifier> Replica::lineage(Inode folder) const {
  std::lock_guard lock(mutex_);
  std::vector<fp::ItemIdentifier> found{fp::kRootContainerItemIdentifier};
  for (Inode at = folder; at != kRootInode && found.size() < 4096;) {
    if (auto node = nodes_.find(at); node != nodes_.end()) {
      found.push_back(node->second.identifier);
      at = node->second.parent;
      continue;
    }
    auto stored = storedNodeLocked(at);
    if (!stored) break;
    found.push_back(stored->identifier);
    at = stored->parent;
  }
  return found;
}

bool Replica::needsListing(Inode folder) const {
  std::lock_guard lock(mutex_);
  auto it = listings_.find(folder);
  if (it == listings_.end()) return true;
  return it->second.partial || it->second.stale || clock_() - it->second.listedAt >= maxListingAge_;
}

Replica::ListingState Replica::listingState(Inode folder) const {
  std::lock_guard lock(mutex_);
  auto it = listings_.find(folder);
  if (it == listings_.end()) return ListingState::none;
  if (it->second.partial) return ListingState::partial;
  if (it->second.stale) return ListingState::stale;
  if (clock_() - it->second.listedAt >= maxListingAge_) return ListingState::aged;
  return ListingState::fresh;
}

bool Replica::hasListing(Inode folder) const {
  std::lock_guard lock(mutex_);
  return listings_.contains(folder);
}

ListingChanges Replica::applyListing(Inode folder, const std::vector<fp::ItemPtr>& items) {
  // Everything asked of the items is asked before the lock is taken: the
  // kernel's requests for other folders wait for it meanwhile.
  std::vector<ListedItem> listed;
  listed.reserve(items.size());
  for (const auto& item : items) {
    if (item) listed.push_back(listedItemFor(*item));
  }
  return applyListing(folder, std::move(listed));
}

bool Replica::isAncestorLocked(Inode candidate, Inode folder) const {
  for (Inode at = folder;;) {
    if (at == candidate) return true;
    if (at == kRootInode) return false;
    auto node = nodes_.find(at);
    if (node == nodes_.end()) return false;
    at = node->second.parent;
  }
}

void Replica::sortByNameLocked(Listing& listing) const {
  std::vector<std::pair<std::string_view, uint32_t>> order;
  order.reserve(listing.entries.size());
  for (uint32_t i = 0; i < listing.entries.size(); ++i) {
    order.emplace_back(nameOf(nodes_.at(listing.entries[i])), i);
  }
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  listing.byName.clear();
  listing.byName.reserve(order.size());
  for (const auto& [name, index] : order) listing.byName.push_back(index);
}

Inode Replica::childLocked(const Listing& listing, std::string_view name) const {
  auto it = std::lower_bound(listing.byName.begin(), listing.byName.end(), name,
                             [&](uint32_t index, std::string_view wanted) {
                               return nameOf(nodes_.at(listing.entries[index])) < wanted;
                             });
  if (it == listing.byName.end()) return 0;
  Inode inode = listing.entries[*it];
  return nameOf(nodes_.at(inode)) == name ? inode : 0;
}

void Replica::dropIfUnusedLocked(Inode inode) {
  if (inode == kRootInode) return;
  auto it = nodes_.find(inode);
  if (it == nodes_.end() || it->second.lookups > 0 || it->second.listed) return;
  std::vector<Inode> orphans;
  if (auto listing = listings_.find(inode); listing != listings_.end()) {
    if (listing->second.storedFolder != 0) storedFolders_.erase(listing->second.storedFolder);
    orphans = std::move(listing->second.entries);
    listings_.erase(listing);
    for (Inode child : orphans) {
      auto node = nodes_.find(child);
      if (node != nodes_.end() && node->second.parent == inode) node->second.listed = false;
    }
  }
  inodes_.erase(it->second.identifier);
  nodes_.erase(it);
  for (Inode child : orphans) dropIfUnusedLocked(child);
}

std::optional<NodeInfo> Replica::child(Inode folder, std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return std::nullopt;
  if (listing->second.storedFolder != 0) {
    auto row = store_->rowNamed(listing->second.storedFolder, name);
    return row ? infoOfRow(*row) : std::nullopt;
  }
  Inode inode = childLocked(listing->second, name);
  if (inode == 0) return std::nullopt;
  return infoOf(inode, nodes_.at(inode));
}

std::vector<DirEntry> Replica::children(Inode folder) const {
  return describe(childInodes(folder));
}

std::vector<Inode> Replica::childInodes(Inode folder) const {
  std::lock_guard lock(mutex_);
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return {};
  if (listing->second.storedFolder != 0) {
    std::vector<Inode> entries;
    for (int64_t id : store_->rowIds(listing->second.storedFolder)) {
      entries.push_back(kStoredInodeBase + static_cast<Inode>(id));
    }
    return entries;
  }
  return listing->second.entries;
}

std::vector<DirEntry> Replica::describe(std::span<const Inode> entries) const {
  std::lock_guard lock(mutex_);
  std::vector<DirEntry> result;
  result.reserve(entries.size());
  for (Inode inode : entries) {
    auto node = nodes_.find(inode);
    if (node == nodes_.end()) {
      auto row = inode >= kStoredInodeBase && store_
                     ? store_->row(static_cast<int64_t>(inode - kStoredInodeBase))
                     : std::nullopt;
      if (!row) {
        result.emplace_back();
        continue;
      }
      result.push_back(
          DirEntry{std::move(row->name), inode, row->isDirectory, row->size, row->modified});
      continue;
    }
    const Node& n = node->second;
    result.push_back(DirEntry{std::string(nameOf(n)), inode, n.isDirectory, n.size, n.modified});
  }
  return result;
}

bool Replica::markEntriesServed(Inode folder) {
  std::lock_guard lock(mutex_);
  auto listing = listings_.find(folder);
  if (listing == listings_.end() || listing->second.partial) return false;
  return std::exchange(listing->second.served, true);
}

std::vector<Inode> Replica::unlistedFolders(Inode folder, Inode after, size_t count) const {
  std::lock_guard lock(mutex_);
  std::vector<Inode> result;
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return result;
  if (listing->second.storedFolder != 0) {
    auto from = after == 0 ? std::optional<int64_t>(-1) : storedPositionLocked(after);
    // Only so many rows looked at: most big folders' subfolders are few.
    for (int round = 0; from && round < 4 && result.size() < count; ++round) {
      auto rows = store_->rowsAfter(listing->second.storedFolder, *from, true, count);
      for (const auto& row : rows) {
        Inode inode = kStoredInodeBase + static_cast<Inode>(row.id);
        if (result.size() < count && !listings_.contains(inode)) result.push_back(inode);
      }
      if (rows.size() < count) break;
      from = rows.back().position;
    }
    return result;
  }
  const auto& entries = listing->second.entries;
  auto it = entries.begin();
  if (after != 0) {
    it = std::find(entries.begin(), entries.end(), after);
    if (it == entries.end()) return result;
    ++it;
  }
  for (; it != entries.end() && result.size() < count; ++it) {
    if (nodes_.at(*it).isDirectory && !listings_.contains(*it)) result.push_back(*it);
  }
  return result;
}

std::vector<std::pair<Inode, std::optional<int64_t>>> Replica::filesAfter(Inode folder, Inode after,
                                                                          size_t count) const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<Inode, std::optional<int64_t>>> result;
  auto listing = listings_.find(folder);
  if (listing == listings_.end()) return result;
  if (listing->second.storedFolder != 0) {
    auto from = storedPositionLocked(after);
    if (!from) return result;
    for (const auto& row : store_->rowsAfter(listing->second.storedFolder, *from, false, count)) {
      result.emplace_back(kStoredInodeBase + static_cast<Inode>(row.id),
                          row.sizeKnown ? std::optional(row.size) : std::nullopt);
    }
    return result;
  }
  const auto& entries = listing->second.entries;
  auto it = std::find(entries.begin(), entries.end(), after);
  if (it == entries.end()) return result;
  for (++it; it != entries.end() && result.size() < count; ++it) {
    const Node& node = nodes_.at(*it);
    if (node.isDirectory) continue;
    result.emplace_back(*it, node.sizeKnown ? std::optional(node.size) : std::nullopt);
  }
  return result;
}

std::optional<Inode> Replica::updateItem(const fp::ItemPtr& item) {
  if (!item) return std::nullopt;
  fp::ItemIdentifier identifier = item->itemIdentifier();
  bool isDirectory = item->isFolder();
  int64_t size = isDirectory ? 0 : item->documentSize().value_or(0);
  fp::Bytes version = item->itemVersion().contentVersion;
  int64_t modified = item->contentModificationTime().value_or(0);
  std::lock_guard lock(mutex_);
  auto known = inodes_.find(identifier);
  if (known == inodes_.end()) return std::nullopt;
  Node& node = nodes_.at(known->second);
  // A folder stays a folder: the kernel already holds the inode's type. Its
  // size and date come from its listing.
  if (node.isDirectory || isDirectory) return std::nullopt;
  // A record without a size keeps the one learned from the contents.
  if (!item->documentSize() && version == node.contentVersion) {
    size = node.size;
  } else {
    node.sizeKnown = item->documentSize().has_value();
  }
  node.contentVersion = std::move(version);
  if (node.size == size && node.modified == modified) return std::nullopt;
  node.size = size;
  node.modified = modified;
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
  if (it == nodes_.end() || it->second.isDirectory) return false;
  it->second.sizeKnown = true;
  if (it->second.size == size) return false;
  it->second.size = size;
  return true;
}

size_t Replica::size() const {
  std::lock_guard lock(mutex_);
  return nodes_.size();
}

bool Replica::lookedUp(Inode inode) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(inode);
  // A big folder's item: nothing to count, as long as its row stands.
  if (it == nodes_.end()) return storedNodeLocked(inode).has_value();
  ++it->second.lookups;
  return true;
}

bool Replica::forget(Inode inode, uint64_t count) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(inode);
  if (it == nodes_.end()) return true;
  it->second.lookups -= std::min(count, it->second.lookups);
  if (it->second.lookups > 0) return false;
  dropIfUnusedLocked(inode);
  return true;
}

}  // namespace lumora::fuse
