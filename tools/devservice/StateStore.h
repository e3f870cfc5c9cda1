#pragma once
// The service's state folder: the URL-signing secret, the issued tokens and
// the self-signed certificate. Made on first start, mode 0700, files 0600.

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/foundation/Error.h"

namespace lumora::devservice {

class StateStore {
 public:
  static Result<std::unique_ptr<StateStore>> open(const std::filesystem::path& folder);

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path certFile() const { return folder_ / "cert.pem"; }
  std::filesystem::path keyFile() const { return folder_ / "key.pem"; }
  const std::string& urlSecret() const { return secret_; }

  // Mints a fresh random token and records it in the tokens file.
  Result<std::string> issueToken();
  // True for a token that this state folder issued (also by another process
  // sharing the folder: an unknown token makes the file be read again).
  bool isIssued(std::string_view token);

 private:
  explicit StateStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
  Result<void> loadTokensLocked();

  const std::filesystem::path folder_;
  std::string secret_;  // set in open(), immutable afterwards
  std::mutex mutex_;
  std::unordered_set<std::string> tokens_;  // guarded by mutex_
};

// Random bytes as lower-case hex (OpenSSL's generator).
Result<std::string> randomHex(std::size_t bytes);

}  // namespace lumora::devservice
