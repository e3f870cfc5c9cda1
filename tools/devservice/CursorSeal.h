#pragma once
// Listing cursors that carry a store's continuation token to the client and
// back without the client being able to read or alter it: the token is
// encrypted and authenticated (AES-256-GCM) under a key derived from the
// service's secret, bound to the listing it continues. Any instance that
// shares the secret opens the cursors of the others.

#include <optional>
#include <string>
#include <string_view>

namespace lumora::devservice {

class CursorSeal {
 public:
  explicit CursorSeal(std::string_view secret);

  // base64url text; `binding` names the listing (prefix and delimiter).
  std::string seal(std::string_view token, std::string_view binding) const;
  // The token, or none for a cursor that this secret did not seal for
  // this binding.
  std::optional<std::string> open(std::string_view cursor, std::string_view binding) const;

 private:
  std::string key_;  // 32 bytes, immutable after construction
};

}  // namespace lumora::devservice
