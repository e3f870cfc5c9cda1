#pragma once
// The service's state folder: the URL-signing secret, the issued tokens and
// the self-signed certificate. Made on first start, mode 0700, files 0600.
// With a shared secret (several instances behind one address) tokens carry
// their own HMAC and verify without the tokens file, on any instance.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/foundation/Error.h"

namespace lumora::devservice {

class StateStore {
 public:
  static Result<std::unique_ptr<StateStore>> open(
      const std::filesystem::path& folder, std::optional<std::string> sharedSecret = std::nullopt);

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path certFile() const { return folder_ / "cert.pem"; }
  std::filesystem::path keyFile() const { return folder_ / "key.pem"; }
  const std::string& urlSecret() const { return secret_; }

  // Mints a fresh random token and records it in the tokens file; with a
  // shared secret, a signed token that is recorded nowhere.
  Result<std::string> issueToken();
  // True for a token that this state folder issued (also by another process
  // sharing the folder: an unknown token makes the file be read again), or
  // one signed with the shared secret.
  bool isIssued(std::string_view token);

 private:
  explicit StateStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
  Result<void> loadTokensLocked();

  const std::filesystem::path folder_;
  bool verifySigned(std::string_view token) const;

  std::string secret_;   // set in open(), immutable afterwards
  bool shared_ = false;  // secret_ is shared with other instances; immutable after open()
  std::mutex mutex_;
  std::unordered_set<std::string> tokens_;  // guarded by mutex_
};

// Random bytes as lower-case hex (OpenSSL's generator).
Result<std::string> randomHex(std::size_t bytes);
// The shared secret of --secret-file: trimmed, at least 32 characters.
Result<std::string> readSharedSecret(const std::filesystem::path& file);

}  // namespace lumora::devservice
