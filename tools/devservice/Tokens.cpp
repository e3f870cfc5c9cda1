#include "tools/devservice/Tokens.h"

#include <openssl/crypto.h>

#include <charconv>
#include <sstream>

#include "platform/foundation/TextFile.h"
#include "tools/devservice/StateStore.h"
#include "tools/devservice/UrlSigner.h"

namespace lumora::devservice {
namespace {

constexpr std::string_view kMark = "lt1.";

bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool parseInt(std::string_view text, std::int64_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool validId(std::string_view id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

Revocations parseRevocations(const std::string& text) {
  Revocations r;
  std::istringstream lines(text);
  std::string kind, what;
  std::int64_t until = 0;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    if (!(fields >> kind >> what)) continue;
    if (kind == "id") r.ids.insert(what);
    if (kind == "user" && (fields >> until)) {
      auto& at = r.usersUntil[what];
      at = std::max(at, until);
    }
  }
  return r;
}

}  // namespace

std::string storeIdentity(const Options& options) {
  if (options.bucket) {
    return "bucket\n" + options.bucket->endpoint + "\n" + options.bucket->bucket + "\n" +
           options.bucket->keyPrefix;
  }
  std::error_code ec;
  auto root = std::filesystem::weakly_canonical(options.root, ec);
  return "folder\n" + (ec ? options.root : root).string();
}

std::filesystem::path revocationFile(const Options& options) {
  if (options.secretFile) return options.secretFile->string() + ".revoked";
  return options.state / "revoked-tokens";
}

std::filesystem::path signInFolder(const Options& options) {
  if (options.secretFile) return options.secretFile->string() + ".signins";
  return options.state / "signins";
}

std::optional<TokenClaims> readClaims(std::string_view token) {
  if (!token.starts_with(kMark)) return std::nullopt;
  std::string_view rest = token.substr(kMark.size());
  // The user may hold dots; the four fields after it never do.
  std::string_view fields[4];
  for (int i = 3; i >= 0; --i) {
    std::size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    fields[i] = rest.substr(dot + 1);
    rest = rest.substr(0, dot);
  }
  TokenClaims c;
  c.user = std::string(rest);
  c.id = std::string(fields[2]);
  if (!validUserName(c.user) || !parseInt(fields[0], c.issued) || !parseInt(fields[1], c.expires) ||
      !validId(c.id)) {
    return std::nullopt;
  }
  return c;
}

Result<void> revoke(const std::filesystem::path& file, std::string_view what, bool user,
                    std::int64_t now) {
  std::string line;
  if (user) {
    if (!validUserName(what)) return fail("usage", 2, "not a user name");
    line = "user " + std::string(what) + " " + std::to_string(now) + "\n";
  } else {
    auto claims = readClaims(what);
    std::string id = claims ? claims->id : std::string(what);
    if (!validId(id)) return fail("usage", 2, "not a token id (32 hex digits) nor a token");
    line = "id " + id + "\n";
  }
  std::string text;
  if (auto existing = readUtf8File(file)) {
    text = std::move(*existing);
  } else if (existing.error().domain != kPosixErrorDomain || existing.error().code != ENOENT) {
    return std::unexpected(existing.error());
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  // A new file each time: instances notice it by its inode, whatever the clock.
  return writeFileAtomically(file, text + line, 0600);
}

TokenAuthority::TokenAuthority(std::string secret, std::string storeIdentity,
                               const std::filesystem::path& revocationFile)
    : secret_(std::move(secret)),
      store_(std::move(storeIdentity)),
      revocations_(revocationFile, parseRevocations) {}

std::string TokenAuthority::seal(std::string_view label, std::string_view message) const {
  std::string text = "lumora ";
  text += label;
  text += '\0';
  text += store_;
  text += '\0';
  text += message;
  return hmacSha256Hex(secret_, text);
}

bool TokenAuthority::sealed(std::string_view label, std::string_view message,
                            std::string_view mac) const {
  return sameText(seal(label, message), mac);
}

Result<std::string> TokenAuthority::mint(std::string_view user, std::int64_t now,
                                         std::int64_t lifetime) const {
  if (!validUserName(user)) return fail("usage", 2, "not a user name");
  auto id = randomHex(16);
  if (!id) return std::unexpected(id.error());
  std::string body = std::string(kMark) + std::string(user) + "." + std::to_string(now) + "." +
                     std::to_string(now + lifetime) + "." + *id;
  return body + "." + seal("token", body);
}

std::optional<TokenClaims> TokenAuthority::verify(std::string_view token, std::int64_t now) {
  std::size_t dot = token.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  auto claims = readClaims(token);
  if (!claims || !sealed("token", token.substr(0, dot), token.substr(dot + 1))) {
    return std::nullopt;
  }
  if (now >= claims->expires) return std::nullopt;
  auto revoked = revocations_.current();
  if (revoked->ids.contains(claims->id)) return std::nullopt;
  if (auto it = revoked->usersUntil.find(claims->user);
      it != revoked->usersUntil.end() && claims->issued <= it->second) {
    return std::nullopt;
  }
  return claims;
}

}  // namespace lumora::devservice
