#pragma once
// Listed records as the daemon keeps them, and which names can stand in a
// folder. The driver reduces each page of a listing to these as it arrives;
// the replica (and whatever stores listings) holds them.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fileprovider/Protocols.h"

namespace lumora::fuse {

// A storage record's name that can stand in a folder: not empty, not "." or
// "..", without NUL or '/', at most 255 bytes.
bool isUsableFileName(std::string_view name);

// The name with " (n)" under which the later of two records of one name is
// shown, cut back (at a character's start) so that the whole stays within
// 255 bytes.
std::string suffixedName(std::string_view name, int number);

// What the replica keeps of one listed record: a few fields, not the item.
struct ListedItem {
  fileprovider::ItemIdentifier identifier;
  std::string name;
  fileprovider::Bytes contentVersion;
  int64_t size = 0;
  int64_t modified = 0;  // seconds since the epoch; 0: the record has no date
  bool isDirectory = false;
  bool sizeKnown = false;  // the record gave a size
  bool operator==(const ListedItem&) const = default;
};
// Empty identifier: the item cannot be shown (no usable name or identifier).
ListedItem listedItemFor(const fileprovider::Item& item);

}  // namespace lumora::fuse
