#pragma once
// Bearer tokens: "lt1.USER.ISSUED.EXPIRES.ID.MAC", self-verifying under the
// service's secret and bound to the store the service serves, so any
// instance sharing the secret and the store checks one from memory, and an
// instance over other storage refuses it. Revocations (by id, or every
// token a user held until a moment) live in a file shared by the instances.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "tools/devservice/Accounts.h"
#include "tools/devservice/Options.h"

namespace lumora::devservice {

struct TokenClaims {
  std::string user;
  std::int64_t issued = 0;   // Unix seconds
  std::int64_t expires = 0;  // Unix seconds; refused from then on
  std::string id;
};

struct Revocations {
  std::set<std::string, std::less<>> ids;
  std::map<std::string, std::int64_t, std::less<>> usersUntil;  // issued at or before: refused
};

// What tokens and sign-ins are bound to: the bucket's endpoint, name and
// prefix, or the served folder.
std::string storeIdentity(const Options& options);
// Where the instances sharing a secret keep revocations and sign-ins.
std::filesystem::path revocationFile(const Options& options);
std::filesystem::path signInFolder(const Options& options);

// The claims a token states, unchecked (for the revoke command).
std::optional<TokenClaims> readClaims(std::string_view token);
// Appends a revocation: a token id (or whole token), or every token `user`
// holds now when `user` is set.
Result<void> revoke(const std::filesystem::path& file, std::string_view what, bool user,
                    std::int64_t now);

class TokenAuthority {
 public:
  TokenAuthority(std::string secret, std::string storeIdentity,
                 const std::filesystem::path& revocationFile);

  Result<std::string> mint(std::string_view user, std::int64_t now, std::int64_t lifetime) const;
  // The claims of a token this authority signed that is neither expired nor revoked.
  std::optional<TokenClaims> verify(std::string_view token, std::int64_t now);
  // A MAC under the secret for other sealed state (labelled apart from tokens).
  std::string seal(std::string_view label, std::string_view message) const;
  bool sealed(std::string_view label, std::string_view message, std::string_view mac) const;

 private:
  const std::string secret_;
  const std::string store_;
  ReloadingFile<Revocations> revocations_;
};

}  // namespace lumora::devservice
