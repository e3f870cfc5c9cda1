#include "tools/devservice/UrlSigner.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace lumora::devservice {

std::string hmacSha256Hex(std::string_view secret, std::string_view message) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[mac[i] >> 4];
    hex += kHex[mac[i] & 0xf];
  }
  return hex;
}

std::string UrlSigner::sign(std::string_view key, std::int64_t expires) const {
  // The key cannot contain NUL (refused as a key), so NUL separates the parts.
  std::string message(key);
  message += '\0';
  message += std::to_string(expires);
  return hmacSha256Hex(secret_, message);
}

bool UrlSigner::verify(std::string_view key, std::int64_t expires, std::string_view signature,
                       std::int64_t now) const {
  std::string expected = sign(key, expires);
  bool same = signature.size() == expected.size() &&
              CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) == 0;
  return same && now <= expires;
}

}  // namespace lumora::devservice
