#pragma once
// The service's state folder: the secret that signs URLs and tokens and the
// self-signed certificate. Made on first start, mode 0700, files 0600. With
// a shared secret (several instances behind one address) that secret is used
// instead, so what one instance signs verifies on any.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

 private:
  explicit StateStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

  const std::filesystem::path folder_;
  std::string secret_;  // set in open(), immutable afterwards
};

// Random bytes as lower-case hex (OpenSSL's generator).
Result<std::string> randomHex(std::size_t bytes);
// The shared secret of --secret-file: trimmed, at least 32 characters.
Result<std::string> readSharedSecret(const std::filesystem::path& file);

}  // namespace lumora::devservice
