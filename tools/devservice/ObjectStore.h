#pragma once
// Where the service's objects live: the storage API's listing, exact
// look-up and download URLs over one back end (a local folder, a bucket).
// Implementations are immutable after construction and safe to call from
// every worker thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "tools/devservice/StorageTree.h"

namespace lumora::devservice {

struct DownloadUrl {
  std::string url;
  std::int64_t expires = 0;  // Unix seconds
};

class ObjectStore {
 public:
  virtual ~ObjectStore() = default;

  // One page of keys under `prefix`, in byte order (see StorageTree::list);
  // `cursor` is empty or a cursor of an earlier page of the same listing.
  virtual Result<ListPage> list(std::string_view prefix, bool delimited, std::string_view cursor,
                                std::size_t pageSize) const = 0;
  // The object whose key is exactly `key`, or none.
  virtual Result<std::optional<StorageRecord>> exact(std::string_view key) const = 0;
  // A URL that fetches `key` without credentials until it expires. `origin`
  // is the service's own origin as the client reached it.
  virtual Result<DownloadUrl> downloadUrl(std::string_view key, std::string_view origin,
                                          std::int64_t now) const = 0;
};

}  // namespace lumora::devservice
