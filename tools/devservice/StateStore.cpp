#include "tools/devservice/StateStore.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "platform/foundation/TextFile.h"
#include "platform/foundation/UniqueFd.h"
#include "tools/devservice/UrlSigner.h"

namespace lumora::devservice {
namespace fs = std::filesystem;

Result<std::string> randomHex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
    return fail(kPosixErrorDomain, EIO, "no random bytes available");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : raw) {
    hex += kHex[c >> 4];
    hex += kHex[c & 0xf];
  }
  return hex;
}

namespace {

constexpr std::string_view kSignedTokenMark = "ls1.";

// Serialises read-modify-write of the tokens file between processes.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder)
      : fd_(::open((folder / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_.valid()) ::flock(fd_.get(), LOCK_EX);
  }

 private:
  UniqueFd fd_;
};

}  // namespace

Result<std::string> readSharedSecret(const fs::path& file) {
  auto text = readUtf8File(file);
  if (!text) return fail("usage", 2, "cannot read the secret file " + file.string());
  std::string secret = trimUnicodeWhitespace(*text);
  if (secret.size() < 32) {
    return fail("usage", 2, "the secret file needs at least 32 characters");
  }
  return secret;
}

Result<std::unique_ptr<StateStore>> StateStore::open(const fs::path& folder,
                                                     std::optional<std::string> sharedSecret) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder)) return fail(kPosixErrorDomain, ENOTDIR, folder.string());
  ::chmod(folder.c_str(), 0700);
  std::unique_ptr<StateStore> store(new StateStore(folder));
  FolderLock lock(folder);
  if (sharedSecret) {
    store->secret_ = std::move(*sharedSecret);
    store->shared_ = true;
    std::lock_guard guard(store->mutex_);
    if (auto loaded = store->loadTokensLocked(); !loaded) return std::unexpected(loaded.error());
    return store;
  }
  fs::path secretFile = folder / "url-secret";
  auto secret = readUtf8File(secretFile);
  if (secret && trimUnicodeWhitespace(*secret).size() >= 32) {
    store->secret_ = trimUnicodeWhitespace(*secret);
  } else {
    auto fresh = randomHex(32);
    if (!fresh) return std::unexpected(fresh.error());
    if (auto written = writeFileAtomically(secretFile, *fresh + "\n", 0600); !written) {
      return std::unexpected(written.error());
    }
    store->secret_ = *fresh;
  }
  std::lock_guard guard(store->mutex_);
  if (auto loaded = store->loadTokensLocked(); !loaded) return std::unexpected(loaded.error());
  return store;
}

Result<void> StateStore::loadTokensLocked() {
  auto text = readUtf8File(folder_ / "tokens");
  if (!text) {
    if (text.error().domain == kPosixErrorDomain && text.error().code == ENOENT) return {};
    return std::unexpected(text.error());
  }
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) tokens_.insert(line);
  }
  return {};
}

bool StateStore::verifySigned(std::string_view token) const {
  if (!shared_ || !token.starts_with(kSignedTokenMark)) return false;
  std::string_view rest = token.substr(kSignedTokenMark.size());
  std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return false;
  // The "token:" label keeps token MACs apart from URL signatures (whose
  // keys all begin with "mirror/").
  std::string nonce(rest.substr(0, dot));
  return UrlSigner(secret_).verify("token:" + nonce, 0, rest.substr(dot + 1), 0);
}

Result<std::string> StateStore::issueToken() {
  auto token = randomHex(32);
  if (!token) return token;
  if (shared_) {
    return std::string(kSignedTokenMark) + *token + "." +
           UrlSigner(secret_).sign("token:" + *token, 0);
  }
  FolderLock lock(folder_);
  std::lock_guard guard(mutex_);
  if (auto loaded = loadTokensLocked(); !loaded) return std::unexpected(loaded.error());
  tokens_.insert(*token);
  std::string text;
  for (const auto& t : tokens_) text += t + "\n";
  if (auto written = writeFileAtomically(folder_ / "tokens", text, 0600); !written) {
    tokens_.erase(*token);
    return std::unexpected(written.error());
  }
  return token;
}

bool StateStore::isIssued(std::string_view token) {
  if (token.empty()) return false;
  if (verifySigned(token)) return true;
  std::string key(token);
  std::lock_guard guard(mutex_);
  if (tokens_.contains(key)) return true;
  (void)loadTokensLocked();
  return tokens_.contains(key);
}

}  // namespace lumora::devservice
