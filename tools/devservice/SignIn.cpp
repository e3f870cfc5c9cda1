#include "tools/devservice/SignIn.h"

#include <algorithm>

namespace lumora::devservice {

bool SignInDesk::validSession(std::string_view session) {
  return session.size() >= 32 && session.size() <= 128 &&
         std::all_of(session.begin(), session.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string SignInDesk::pageHtml(std::string_view session) {
  // The session is hex (checked by the caller), so it needs no escaping.
  std::string html = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Sign in to Lumora</title>
<style>body{font-family:sans-serif;background:#111;color:#eee;text-align:center;padding-top:15vh}
button{font-size:1.2em;padding:.6em 2.4em;background:#2a2;color:#fff;border:0;border-radius:8px}</style>
</head><body>
<h1>Sign in to Lumora</h1>
<p>This is the local development service. Press the button to sign this computer in.</p>
<form method="post" action="/signin/confirm">
<input type="hidden" name="session" value=")";
  html += session;
  html += R"(">
<button id="confirm" type="submit">Sign in</button>
</form>
</body></html>
)";
  return html;
}

std::string SignInDesk::confirmedHtml() {
  return R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Signed in to Lumora</title></head>
<body style="font-family:sans-serif;background:#111;color:#eee;text-align:center;padding-top:15vh">
<h1 id="signed-in">You're signed in.</h1>
<p>You can close this window and go back to Lumora.</p>
</body></html>
)";
}

void SignInDesk::expireLocked(Clock::time_point now) {
  std::erase_if(pending_,
                [&](const auto& item) { return now - item.second.confirmedAt > kLifetime; });
}

Result<void> SignInDesk::confirm(std::string_view session, Clock::time_point now) {
  std::lock_guard guard(mutex_);
  expireLocked(now);
  if (pending_.contains(session)) return {};
  if (pending_.size() >= kMaxPending) {
    return fail("LumoraDevServiceErrorDomain", 429, "too many sign-ins waiting");
  }
  auto token = state_.issueToken();
  if (!token) return std::unexpected(token.error());
  pending_.emplace(std::string(session), Pending{std::move(*token), now});
  return {};
}

std::optional<std::string> SignInDesk::collect(std::string_view session, Clock::time_point now) {
  std::lock_guard guard(mutex_);
  expireLocked(now);
  auto it = pending_.find(session);
  if (it == pending_.end()) return std::nullopt;
  std::string token = std::move(it->second.token);
  pending_.erase(it);
  return token;
}

}  // namespace lumora::devservice
