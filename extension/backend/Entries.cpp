#include "extension/backend/Entries.h"

#include <charconv>

#include "extension/backend/InternetDate.h"
#include "extension/backend/LumoraBackend.h"

namespace lumora::backend {

std::string_view lastPathComponent(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

Entry makeEntry(const StorageEntry& record, std::optional<std::string> parent) {
  Entry entry;
  entry.isDirectory = record.dir ? *record.dir : record.key.ends_with('/');
  std::string_view trimmed = record.key;
  // Only a trailing "/" goes: a folder record without one keeps its whole key.
  if (entry.isDirectory && trimmed.ends_with('/')) trimmed.remove_suffix(1);
  entry.name = std::string(lastPathComponent(trimmed));
  entry.id = std::string(record.key);
  entry.parentID = std::move(parent);
  entry.size = record.size.value_or(0);
  if (record.modified) entry.modifiedAt = parseInternetDate(*record.modified);
  std::string_view contentTag = record.etag       ? *record.etag
                                : record.modified ? *record.modified
                                                  : record.key;
  entry.contentETag = std::string(contentTag);
  entry.contentETagIsTag = record.etag.has_value();

  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, entry.size);
  std::string_view modified = record.modified.value_or(std::string_view());
  std::string& tag = entry.metadataTag;
  tag.reserve(entry.name.size() + static_cast<size_t>(end - digits) + modified.size() + 2);
  tag += entry.name;
  tag += '|';
  tag.append(digits, end);
  tag += '|';
  tag += modified;
  return entry;
}

Entry rootEntry() {
  Entry entry;
  entry.id = std::string(kRootPrefix);
  entry.name = "Lumora";
  entry.isDirectory = true;
  entry.isRoot = true;
  entry.contentETag = "root";
  entry.metadataTag = "root";
  return entry;
}

Entry folderEntry(std::string_view key) {
  Entry entry;
  entry.id = std::string(key);
  entry.parentID = parentKey(key);
  std::string_view withoutSlash = key;
  if (!withoutSlash.empty()) withoutSlash.remove_suffix(1);
  entry.name = std::string(lastPathComponent(withoutSlash));
  entry.isDirectory = true;
  entry.contentETag = "dir";
  entry.metadataTag = "dir|" + std::string(key);
  return entry;
}

std::optional<std::string> parentKey(std::string_view key) {
  if (key.ends_with('/')) key.remove_suffix(1);
  size_t slash = key.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view parent = key.substr(0, slash + 1);
  if (parent == kRootPrefix) return std::nullopt;
  return std::string(parent);
}

}  // namespace lumora::backend
