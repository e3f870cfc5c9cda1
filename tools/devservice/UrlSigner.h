#pragma once
// Short-lived download URLs: the key and the expiry are signed with
// HMAC-SHA256 under a secret that never leaves the service's state folder.

#include <cstdint>
#include <string>
#include <string_view>

namespace lumora::devservice {

// Lower-case hex HMAC-SHA256 of `message` under `secret`.
std::string hmacSha256Hex(std::string_view secret, std::string_view message);

class UrlSigner {
 public:
  explicit UrlSigner(std::string secret) : secret_(std::move(secret)) {}

  // Lower-case hex HMAC of the key and the expiry (Unix seconds).
  std::string sign(std::string_view key, std::int64_t expires) const;
  // True when `signature` is the signature of key and expiry and the expiry
  // is not before `now`. The comparison takes constant time.
  bool verify(std::string_view key, std::int64_t expires, std::string_view signature,
              std::int64_t now) const;

 private:
  std::string secret_;  // immutable after construction
};

}  // namespace lumora::devservice
