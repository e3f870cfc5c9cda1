#pragma once
// The bucket back end: the storage API over an S3-compatible store. The
// client's "mirror/" is the bucket's key prefix; listings are ListObjectsV2
// requests signed by libcurl (SigV4), their continuation tokens sealed into
// cursors; download URLs are the store's own presigned GET URLs, so object
// bytes never pass through the service.

#include <memory>
#include <mutex>
#include <string>

#include "tools/devservice/CursorSeal.h"
#include "tools/devservice/ObjectStore.h"
#include "tools/devservice/Options.h"
#include "tools/devservice/SigV4.h"

namespace lumora::devservice {

class S3Store final : public ObjectStore {
 public:
  static Result<std::unique_ptr<S3Store>> create(const BucketOptions& options,
                                                 AwsCredentials credentials,
                                                 std::string_view secret, int urlLifetimeSeconds);

  Result<ListPage> list(std::string_view prefix, bool delimited, std::string_view cursor,
                        std::size_t pageSize) const override;
  Result<std::optional<StorageRecord>> exact(std::string_view key) const override;
  Result<DownloadUrl> downloadUrl(std::string_view key, std::string_view origin,
                                  std::int64_t now) const override;

 private:
  S3Store(const BucketOptions& options, AwsCredentials credentials, std::string_view secret,
          int urlLifetimeSeconds);
  // GET on the bucket with a canonical query (names sorted, values encoded).
  Result<std::string> getBucket(const std::string& query) const;
  // The client's key of a store key, or none for a key outside our prefix
  // or one that cannot be a storage key of ours.
  std::optional<std::string> clientKey(std::string_view storeKey) const;
  Result<std::string> storeKeyOf(std::string_view key) const;
  // What a cursor is sealed to: this store and the listing it continues.
  std::string binding(std::string_view prefix, bool delimited) const;
  std::string objectPath(std::string_view storeKey) const;  // encoded, for the URL
  std::string objectUrl(std::string_view storeKey) const;
  std::shared_ptr<const AwsCredentials> credentials() const;
  // Reads the credentials again from their file or the environment; true
  // when they differ from `used`, so that the request is worth repeating.
  bool refreshCredentials(const std::shared_ptr<const AwsCredentials>& used) const;
  // `request` with the current credentials, once more after a refresh when
  // the store says their session expired.
  template <class Request>
  auto withCredentials(Request request) const -> decltype(request(AwsCredentials{}));

  // Immutable after construction, but for the credentials.
  const BucketOptions options_;
  const CursorSeal seal_;
  const int lifetime_;
  std::string scheme_;    // "http" or "https"
  std::string host_;      // Host header as libcurl sends it
  std::string basePath_;  // the endpoint's path, without a trailing "/"

  // Replaced when the store says the session token expired.
  mutable std::mutex credentialsMutex_;
  mutable std::shared_ptr<const AwsCredentials> credentials_;  // protected by credentialsMutex_
};

}  // namespace lumora::devservice
