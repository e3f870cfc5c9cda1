#include "tools/devservice/CursorSeal.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>

#include "tools/devservice/StorageTree.h"

namespace lumora::devservice {
namespace {

constexpr int kNonce = 12;
constexpr int kTag = 16;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

CursorSeal::CursorSeal(std::string_view secret) {
  // A key of its own, so that a cursor never doubles as a URL or token MAC.
  constexpr std::string_view kLabel = "lumora listing cursor v1";
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), bytes(kLabel), kLabel.size(),
       mac, &length);
  key_.assign(reinterpret_cast<const char*>(mac), length);
}

std::string CursorSeal::seal(std::string_view token, std::string_view binding) const {
  std::string out(kNonce + token.size() + kTag, '\0');
  auto* raw = reinterpret_cast<unsigned char*>(out.data());
  if (RAND_bytes(raw, kNonce) != 1) return {};
  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int length = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, bytes(key_), raw) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &length, bytes(binding),
                        static_cast<int>(binding.size())) != 1 ||
      EVP_EncryptUpdate(ctx.get(), raw + kNonce, &length, bytes(token),
                        static_cast<int>(token.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), raw + kNonce + length, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTag, raw + kNonce + token.size()) !=
          1) {
    return {};
  }
  return encodeCursor(out);
}

std::optional<std::string> CursorSeal::open(std::string_view cursor,
                                            std::string_view binding) const {
  auto sealed = decodeCursor(cursor);
  if (!sealed || sealed->size() < std::size_t{kNonce} + kTag) return std::nullopt;
  auto* raw = reinterpret_cast<unsigned char*>(sealed->data());
  const std::size_t textSize = sealed->size() - kNonce - kTag;
  std::string token(textSize, '\0');
  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int length = 0;
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, bytes(key_), raw) != 1 ||
      EVP_DecryptUpdate(ctx.get(), nullptr, &length, bytes(binding),
                        static_cast<int>(binding.size())) != 1 ||
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(token.data()), &length,
                        raw + kNonce, static_cast<int>(textSize)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTag, raw + kNonce + textSize) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(token.data()) + length,
                          &length) != 1) {
    return std::nullopt;
  }
  return token;
}

}  // namespace lumora::devservice
