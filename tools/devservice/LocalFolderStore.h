#pragma once
// The embedded default back end: a local folder, whose objects the service
// serves itself under /objects with URLs signed by its UrlSigner.

#include "tools/devservice/ObjectStore.h"
#include "tools/devservice/UrlSigner.h"

namespace lumora::devservice {

class LocalFolderStore final : public ObjectStore {
 public:
  LocalFolderStore(StorageTree tree, const UrlSigner& signer, int urlLifetimeSeconds)
      : tree_(std::move(tree)), signer_(signer), lifetime_(urlLifetimeSeconds) {}

  const StorageTree& tree() const { return tree_; }

  Result<ListPage> list(std::string_view prefix, bool delimited, std::string_view cursor,
                        std::size_t pageSize) const override {
    return tree_.list(prefix, delimited, cursor, pageSize);
  }
  Result<std::optional<StorageRecord>> exact(std::string_view key) const override {
    return tree_.exact(key);
  }
  Result<DownloadUrl> downloadUrl(std::string_view key, std::string_view origin,
                                  std::int64_t now) const override;

 private:
  StorageTree tree_;
  const UrlSigner& signer_;  // owned by the service, outlives this
  const int lifetime_;
};

}  // namespace lumora::devservice
