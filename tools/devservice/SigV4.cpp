#include "tools/devservice/SigV4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <time.h>

#include <cctype>
#include <cstdio>

namespace lumora::devservice {
namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string toHex(const unsigned char* data, std::size_t size) {
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 0xf];
  }
  return out;
}

std::string hmac(std::string_view key, std::string_view message) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length);
  return std::string(reinterpret_cast<const char*>(mac), length);
}

}  // namespace

std::string awsUriEncode(std::string_view text, bool keepSlash) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
        (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kUpper[c >> 4];
      out += kUpper[c & 0xf];
    }
  }
  return out;
}

std::string amzDate(std::int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  char text[64];  // room for any int the compiler imagines
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string sha256Hex(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return toHex(digest, sizeof digest);
}

std::string presignGet(const PresignRequest& r, const AwsCredentials& credentials) {
  const std::string when = amzDate(r.signedAt);
  const std::string day = when.substr(0, 8);
  const std::string scope = day + "/" + r.region + "/s3/aws4_request";
  // Parameters in byte order of their names, as the canonical query wants.
  std::string query = "X-Amz-Algorithm=AWS4-HMAC-SHA256";
  query += "&X-Amz-Credential=" + awsUriEncode(credentials.accessKeyId + "/" + scope, false);
  query += "&X-Amz-Date=" + when;
  query += "&X-Amz-Expires=" + std::to_string(r.lifetimeSeconds);
  if (!credentials.sessionToken.empty()) {
    query += "&X-Amz-Security-Token=" + awsUriEncode(credentials.sessionToken, false);
  }
  query += "&X-Amz-SignedHeaders=host";
  const std::string canonical =
      "GET\n" + r.canonicalUri + "\n" + query + "\nhost:" + r.host + "\n\nhost\nUNSIGNED-PAYLOAD";
  const std::string toSign =
      "AWS4-HMAC-SHA256\n" + when + "\n" + scope + "\n" + sha256Hex(canonical);
  std::string key = hmac("AWS4" + credentials.secretAccessKey, day);
  key = hmac(key, r.region);
  key = hmac(key, "s3");
  key = hmac(key, "aws4_request");
  const std::string mac = hmac(key, toSign);
  const std::string signature =
      toHex(reinterpret_cast<const unsigned char*>(mac.data()), mac.size());
  return r.scheme + "://" + r.host + r.canonicalUri + "?" + query + "&X-Amz-Signature=" + signature;
}

}  // namespace lumora::devservice
