#pragma once
// Browser sign-in: the command-line tool opens /signin?session=<nonce>, the
// person presses the page's one button, the service mints a token for that
// session, and the tool collects it once from /signin/token?session=<nonce>.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/devservice/StateStore.h"

namespace lumora::devservice {

class SignInDesk {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SignInDesk(StateStore& state) : state_(state) {}

  // A session is 32 to 128 lower-case hex digits, made by the tool.
  static bool validSession(std::string_view session);
  static std::string pageHtml(std::string_view session);
  static std::string confirmedHtml();

  // Mints the session's token (once; pressing again keeps the first).
  Result<void> confirm(std::string_view session, Clock::time_point now = Clock::now());
  // The session's token, handed out once; none while not yet confirmed.
  std::optional<std::string> collect(std::string_view session,
                                     Clock::time_point now = Clock::now());

  static constexpr std::chrono::minutes kLifetime{10};
  static constexpr std::size_t kMaxPending = 1000;

 private:
  struct Pending {
    std::string token;
    Clock::time_point confirmedAt;
  };
  void expireLocked(Clock::time_point now);

  StateStore& state_;
  std::mutex mutex_;
  std::map<std::string, Pending, std::less<>> pending_;  // guarded by mutex_
};

}  // namespace lumora::devservice
