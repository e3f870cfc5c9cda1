#pragma once
// parentKey and the entries made from keys alone: a parent is a proper
// prefix that ends in "/" and leaves one component; none exactly when the
// key has no folder above it other than the root.

#include "extension/backend/Entries.h"
#include "extension/backend/LumoraBackend.h"
#include "fuzz/checks/Property.h"

namespace lumora::fuzz {

inline std::string checkParentKey(std::string_view key) {
  std::optional<std::string> parent = backend::parentKey(key);
  std::string_view stem = key;
  if (stem.ends_with('/')) stem.remove_suffix(1);
  size_t slash = stem.rfind('/');
  bool hasFolder = slash != std::string_view::npos && stem.substr(0, slash + 1) != "mirror/";
  LUMORA_PROPERTY(parent.has_value() == hasFolder,
                  parent ? "a parent for a child of the root or a top-level key" : "no parent");
  if (parent) {
    LUMORA_PROPERTY(parent->size() < key.size() && key.starts_with(*parent),
                    "the parent is not a proper prefix");
    LUMORA_PROPERTY(parent->ends_with('/'), "the parent does not end in a slash");
    LUMORA_PROPERTY(*parent != "mirror/", "the root prefix as a parent");
    std::string_view rest = stem.substr(parent->size());
    LUMORA_PROPERTY(rest.find('/') == std::string_view::npos, "more than one component left");
  }
  std::string_view last = backend::lastPathComponent(key);
  LUMORA_PROPERTY(last.find('/') == std::string_view::npos, "a last component holds a slash");
  if (key.ends_with('/')) {
    // A folder named by its key alone has the same parent as a lookup gives.
    backend::Entry folder = backend::folderEntry(key);
    LUMORA_PROPERTY(folder.parentID == parent, "folderEntry's parent differs from parentKey");
    LUMORA_PROPERTY(folder.id == key && folder.isDirectory && !folder.isRoot, "folderEntry");
    LUMORA_PROPERTY(folder.name == backend::lastPathComponent(stem), "folderEntry's name");
    LUMORA_PROPERTY(folder.metadataTag == "dir|" + std::string(key), "folderEntry's tag");
  }
  return {};
}

}  // namespace lumora::fuzz
