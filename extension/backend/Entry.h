#pragma once
// One remote file or folder as the extension sees it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace lumora::backend {

using Date = std::chrono::sys_seconds;

struct Entry {
  std::string id;                       // the storage key ("mirror/" for the root)
  std::optional<std::string> parentID;  // none: the root
  std::string name;
  bool isDirectory = false;
  bool isRoot = false;
  int64_t size = 0;
  std::optional<Date> createdAt;  // always none: the service reports no creation date
  std::optional<Date> modifiedAt;
  std::string contentETag;
  // contentETag is the listing's ETag (not a date or the key standing in).
  bool contentETagIsTag = false;
  std::string metadataTag;

  friend bool operator==(const Entry&, const Entry&) = default;
};

}  // namespace lumora::backend
