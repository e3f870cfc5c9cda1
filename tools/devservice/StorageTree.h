#pragma once
// The storage tree: a local folder presented as the flat key space under
// "mirror/". Keys are resolved one component at a time beneath the root with
// O_NOFOLLOW, so no key can reach outside the folder: "." and ".." components,
// empty components (absolute paths, "//") and symbolic links are refused or
// never listed. Only regular files and folders are visible.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/UniqueFd.h"

namespace lumora::devservice {

// Errors of the service carry the HTTP status they are answered with.
inline constexpr const char* kDevServiceErrorDomain = "LumoraDevServiceErrorDomain";

inline constexpr std::string_view kMirrorPrefix = "mirror/";

struct StorageRecord {
  std::string key;  // full key; a folder's ends in "/"
  std::int64_t size = 0;
  std::string etag;      // stable while size, mtime and inode stay the same
  std::string modified;  // RFC 3339, whole seconds, "Z"; empty when unrepresentable
  bool dir = false;
};

struct ListPage {
  std::vector<StorageRecord> records;
  std::optional<std::string> cursor;  // none on the last page
};

class FolderIndex;

struct OpenObject {
  UniqueFd fd;
  StorageRecord record;
};

class StorageTree {
 public:
  static Result<StorageTree> open(const std::filesystem::path& root);

  StorageTree(StorageTree&&) noexcept = default;
  StorageTree& operator=(StorageTree&&) noexcept = default;

  // One page of the keys that begin with `prefix`, in byte order. Delimited:
  // one folder level, folders as keys ending in "/". Otherwise every file
  // below, recursively. `cursor` is empty or a cursor from an earlier page.
  Result<ListPage> list(std::string_view prefix, bool delimited, std::string_view cursor,
                        std::size_t pageSize) const;
  // The file whose key is exactly `key`, or none.
  Result<std::optional<StorageRecord>> exact(std::string_view key) const;
  // Opens the file `key` for reading (404 when missing or not a file).
  Result<OpenObject> openObject(std::string_view key) const;

 private:
  StorageTree(UniqueFd root, std::shared_ptr<FolderIndex> index)
      : root_(std::move(root)), index_(std::move(index)) {}

  UniqueFd root_;  // O_PATH descriptor of the served folder; read-only after open
  std::shared_ptr<FolderIndex> index_;  // large folders' sorted names; locks itself
};

// Cursor encoding (exposed for tests): the last key of a page, base64url.
std::string encodeCursor(std::string_view lastKey);
std::optional<std::string> decodeCursor(std::string_view cursor);

// "YYYY-MM-DDTHH:MM:SSZ" for a Unix time, or empty outside years 0000-9999.
std::string formatRfc3339(std::int64_t seconds);

}  // namespace lumora::devservice
