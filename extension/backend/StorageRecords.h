#pragma once
// The JSON bodies of the storage API, decoded strictly on types and
// leniently on members: unknown members are ignored, null counts as absent
// for optional members, and a member of the wrong type (or a negative size)
// fails the whole body with a kDecodingErrorDomain error whose description
// names the member.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace lumora::backend {

// One record of a listing. Its text borrows from the body being decoded and
// is valid only during the callback that receives it.
struct StorageEntry {
  std::string_view key{};
  std::optional<int64_t> size{};
  std::optional<std::string_view> etag{};
  std::optional<std::string_view> modified{};
  std::optional<bool> dir{};
};

// Decodes a "/storage/list" body: calls `onRecord` for each record of
// "entries" in order and yields "cursor" (none when missing or null). On
// failure, records already passed belong to a body that failed as a whole.
Result<std::optional<std::string>> decodeStorageList(
    std::string_view body, const std::function<void(const StorageEntry&)>& onRecord);

struct DownloadURLResponse {
  std::string url;
  std::optional<double> expires;  // stated by the service, never consulted
};

Result<DownloadURLResponse> decodeDownloadURLResponse(std::string_view body);

}  // namespace lumora::backend
