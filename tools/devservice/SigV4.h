#pragma once
// AWS Signature Version 4 pieces that libcurl does not offer: query-string
// presigning of GET URLs, and the URI encoding that every canonical request
// uses. Requests that the service itself sends are signed by libcurl.

#include <cstdint>
#include <string>
#include <string_view>

namespace lumora::devservice {

struct AwsCredentials {
  std::string accessKeyId;
  std::string secretAccessKey;
  std::string sessionToken;  // empty without a temporary session
};

// AWS's URI encoding: unreserved characters stay, everything else is %XX
// with upper-case hex; "/" stays when `keepSlash` (object paths).
std::string awsUriEncode(std::string_view text, bool keepSlash);
// "YYYYMMDDTHHMMSSZ" for a Unix time.
std::string amzDate(std::int64_t unixSeconds);
std::string sha256Hex(std::string_view data);

struct PresignRequest {
  std::string scheme;        // "http" or "https"
  std::string host;          // as sent in the Host header, port included if not the default
  std::string canonicalUri;  // already encoded, e.g. /bucket/mirror/a%20b.txt
  std::string region;
  std::int64_t signedAt = 0;         // Unix seconds
  std::int64_t lifetimeSeconds = 0;  // X-Amz-Expires
};

// A GET URL that the store accepts without further credentials until
// signedAt + lifetimeSeconds.
std::string presignGet(const PresignRequest& request, const AwsCredentials& credentials);

}  // namespace lumora::devservice
