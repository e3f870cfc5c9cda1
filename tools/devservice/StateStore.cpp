#include "tools/devservice/StateStore.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "platform/foundation/TextFile.h"
#include "platform/foundation/UniqueFd.h"

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
  return store;
}

}  // namespace lumora::devservice
