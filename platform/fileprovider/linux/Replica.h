#pragma once
// The replica of the domain's items that the kernel sees: an inode per item
// identifier, stable for the daemon's lifetime, and per folder the listing
// last enumerated with its age.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/fileprovider/Protocols.h"

namespace lumora::fuse {

using Inode = uint64_t;
inline constexpr Inode kRootInode = 1;  // FUSE_ROOT_ID
using Clock = std::function<std::chrono::steady_clock::time_point()>;

// A storage record's name that can stand in a folder: not empty, not "." or
// "..", without NUL or '/', at most 255 bytes.
bool isUsableFileName(std::string_view name);

struct NodeInfo {
  Inode inode = 0;
  Inode parent = kRootInode;
  fileprovider::ItemIdentifier identifier;
  bool isDirectory = false;
  int64_t size = 0;
  fileprovider::Bytes contentVersion;
  fileprovider::ItemPtr item;  // none for the root until it was looked up
};

// What reading a folder needs of one child.
struct DirEntry {
  std::string name;
  Inode inode = 0;
  bool isDirectory = false;
  int64_t size = 0;
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
  Replica(std::chrono::steady_clock::duration maxListingAge, Clock clock);
  Replica(const Replica&) = delete;
  Replica& operator=(const Replica&) = delete;

  std::optional<NodeInfo> node(Inode inode) const;
  // True when the folder has never been listed, was marked stale, or its
  // listing has aged.
  bool needsListing(Inode folder) const;
  bool hasListing(Inode folder) const;
  // Replaces the folder's listing with `items` in their order. Unusable names
  // are dropped and the first of two items with one name stands.
  ListingChanges applyListing(Inode folder, const std::vector<fileprovider::ItemPtr>& items);
  std::optional<NodeInfo> child(Inode folder, std::string_view name) const;
  std::vector<DirEntry> children(Inode folder) const;
  // Records that the kernel is given the folder's current entries. True when
  // it was given these very entries before, so that a copy it kept is current.
  bool markEntriesServed(Inode folder);
  // Up to `count` subfolders of `folder` that have no listing, in listing
  // order, starting after the child `after` (from the first child when 0).
  std::vector<Inode> unlistedFolders(Inode folder, Inode after, size_t count) const;
  // Takes a newer record of a known item (after a fetch or a change report).
  // Yields its inode when the attributes the kernel sees changed.
  std::optional<Inode> updateItem(const fileprovider::ItemPtr& item);
  void markAllStale();
  void markStale(Inode folder);
  // The size the file's contents turned out to have; kept for that content
  // version while listings give none. True when it changed.
  bool setSize(Inode inode, int64_t size);
  size_t size() const;

 private:
  struct Listing {
    std::vector<std::pair<std::string, Inode>> entries;  // the service's order
    std::map<std::string, Inode, std::less<>> byName;
    std::chrono::steady_clock::time_point listedAt;
    bool stale = false;
    bool served = false;  // the kernel was given these entries
  };
  static void fillFromItem(NodeInfo& node, const fileprovider::ItemPtr& item);

  const std::chrono::steady_clock::duration maxListingAge_;
  const Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<Inode, NodeInfo> nodes_;                       // protected by mutex_
  std::unordered_map<fileprovider::ItemIdentifier, Inode> inodes_;  // protected by mutex_
  std::unordered_map<Inode, Listing> listings_;                     // protected by mutex_
  Inode nextInode_ = kRootInode + 1;                                // protected by mutex_
};

}  // namespace lumora::fuse
