#include "tools/devservice/LocalFolderStore.h"

#include "tools/devservice/DevService.h"

namespace lumora::devservice {

Result<DownloadUrl> LocalFolderStore::downloadUrl(std::string_view key, std::string_view origin,
                                                  std::int64_t now) const {
  auto object = tree_.openObject(key);
  if (!object) return std::unexpected(object.error());
  std::int64_t expires = now + lifetime_;
  std::string url = std::string(origin) + "/objects?key=" + encodeQueryValue(key) +
                    "&expires=" + std::to_string(expires) + "&sig=" + signer_.sign(key, expires);
  return DownloadUrl{std::move(url), expires};
}

}  // namespace lumora::devservice
