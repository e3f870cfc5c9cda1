#pragma once
// Browser sign-in. The command-line tool keeps a random verifier V and opens
// /signin?session=S, S being SHA-256(V) in hex. The page, loaded in the
// person's browser, marks that browser with a sealed cookie for S; the form
// it posts back (name and password) is honoured only with that cookie. The
// confirmation is kept as a sealed grant in a folder the instances share,
// so the tool may collect it from any instance, once, with V: the session id
// that a browser's history or a proxy sees is not enough to take the token.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/devservice/Accounts.h"
#include "tools/devservice/Tokens.h"

namespace lumora::devservice {

class SignInDesk {
 public:
  SignInDesk(TokenAuthority& tokens, const std::optional<std::filesystem::path>& usersFile,
             std::filesystem::path folder, std::int64_t tokenLifetime);

  // A session or verifier is 32 to 128 lower-case hex digits, made by the tool.
  static bool validSession(std::string_view session);
  static std::string sessionOf(std::string_view verifier);
  std::string pageHtml(std::string_view session, std::string_view problem = {}) const;
  static std::string confirmedHtml();

  // The cookie value that binds the browser which loaded the page to `session`.
  std::string browserMark(std::string_view session, std::int64_t now) const;
  // Checks the browser's mark and the password, then leaves a grant for the
  // tool. Errors carry the HTTP status as their code.
  Result<void> confirm(std::string_view session, std::string_view mark, std::string_view user,
                       std::string_view password, const std::string& address, std::int64_t now);
  // The token for the session of `verifier`, once; none while not confirmed;
  // 410 once collected or expired.
  Result<std::optional<std::string>> collect(std::string_view verifier, std::int64_t now);

  static constexpr std::int64_t kPageSeconds = 10 * 60;  // page loaded to form posted
  static constexpr std::int64_t kGrantSeconds = 5 * 60;  // confirmed to collected
  static constexpr std::int64_t kKeepSeconds = 15 * 60;  // used sessions stay refused this long
  static constexpr std::size_t kMaxPending = 1000;
  static constexpr const char* kCookie = "lumora_signin";

 private:
  std::filesystem::path grantFile(std::string_view session) const;
  std::filesystem::path usedFile(std::string_view session) const;
  // Drops grants and used marks past their time; false when too many remain.
  bool sweep();

  TokenAuthority& tokens_;
  std::optional<UserDirectory> users_;  // none: nobody may sign in
  const std::filesystem::path folder_;
  const std::int64_t tokenLifetime_;
  Lockout lockout_;  // synchronises itself
};

}  // namespace lumora::devservice
