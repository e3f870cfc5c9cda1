#pragma once
// Storage records and item identifiers turned into entries: the record rule
// shared by listings and look-ups, and the two entries made without asking
// the service (the root, and a folder named by its key).

#include <optional>
#include <string>
#include <string_view>

#include "extension/backend/Entry.h"
#include "extension/backend/StorageRecords.h"

namespace lumora::backend {

// The storage prefix that the root container stands for.
inline constexpr std::string_view kRootPrefix = "mirror/";

// The entry of one listing record; `parent` becomes its parentID.
Entry makeEntry(const StorageEntry& record, std::optional<std::string> parent);

// The root container's entry: "mirror/", named "Lumora".
Entry rootEntry();
// The entry of a folder key (ending in "/"), made from the key alone.
Entry folderEntry(std::string_view key);

// The text after the last "/" once trailing "/" characters are removed; a
// text without "/" is its own name.
std::string_view lastPathComponent(std::string_view path);

}  // namespace lumora::backend
