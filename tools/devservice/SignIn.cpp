#include "tools/devservice/SignIn.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>

#include "platform/foundation/TextFile.h"
#include "tools/devservice/StateStore.h"
#include "tools/devservice/StorageTree.h"

namespace lumora::devservice {
namespace fs = std::filesystem;
namespace {

std::unexpected<Error> refuse(int status, std::string message) {
  return fail(kDevServiceErrorDomain, status, std::move(message));
}

std::int64_t toInt(std::string_view text) {
  std::int64_t n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  return ec == std::errc() && end == text.data() + text.size() ? n : 0;
}

}  // namespace

SignInDesk::SignInDesk(TokenAuthority& tokens, const std::optional<fs::path>& usersFile,
                       fs::path folder, std::int64_t tokenLifetime)
    : tokens_(tokens), folder_(std::move(folder)), tokenLifetime_(tokenLifetime) {
  if (usersFile) users_.emplace(*usersFile);
}

bool SignInDesk::validSession(std::string_view session) {
  return session.size() >= 32 && session.size() <= 128 &&
         std::all_of(session.begin(), session.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string SignInDesk::sessionOf(std::string_view verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xf];
  }
  return hex;
}

std::string SignInDesk::pageHtml(std::string_view session, std::string_view problem) const {
  // The session is hex (checked by the caller) and the problem one of our
  // own sentences, so neither needs escaping.
  std::string html = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Sign in to Lumora</title>
<style>body{font-family:sans-serif;background:#111;color:#eee;text-align:center;padding-top:15vh}
input{font-size:1.1em;margin:.3em;padding:.3em}
button{font-size:1.2em;padding:.6em 2.4em;background:#2a2;color:#fff;border:0;border-radius:8px}
.problem{color:#f88}</style>
</head><body>
<h1>Sign in to Lumora</h1>
)";
  if (!users_) {
    return html +
           "<p class=\"problem\">Nobody can sign in here: the service was started without a "
           "users file (--users).</p>\n</body></html>\n";
  }
  if (!problem.empty())
    html += "<p class=\"problem\" id=\"problem\">" + std::string(problem) + "</p>\n";
  html += R"(<form method="post" action="/signin/confirm">
<input type="hidden" name="session" value=")";
  html += session;
  html += R"(">
<p><input id="user" name="user" autocomplete="username" placeholder="Name" required></p>
<p><input id="password" name="password" type="password" autocomplete="current-password" placeholder="Password" required></p>
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

std::string SignInDesk::browserMark(std::string_view session, std::int64_t now) const {
  std::string expires = std::to_string(now + kPageSeconds);
  return expires + "." + tokens_.seal("signin-page", std::string(session) + " " + expires);
}

fs::path SignInDesk::grantFile(std::string_view session) const {
  return folder_ / std::string(session);
}
fs::path SignInDesk::usedFile(std::string_view session) const {
  return folder_ / (std::string(session) + ".used");
}

bool SignInDesk::sweep() {
  std::error_code ec;
  std::size_t left = 0;
  auto cutoff = fs::file_time_type::clock::now() - std::chrono::seconds(kKeepSeconds);
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code timeError;
    auto written = it->last_write_time(timeError);
    if (!timeError && written < cutoff) {
      fs::remove(it->path(), timeError);
    } else {
      ++left;
    }
  }
  return left < kMaxPending;
}

Result<void> SignInDesk::confirm(std::string_view session, std::string_view mark,
                                 std::string_view user, std::string_view password,
                                 const std::string& address, std::int64_t now) {
  if (!users_) return refuse(503, "Nobody can sign in here: the service has no users file.");
  std::size_t dot = mark.find('.');
  std::string_view markExpires = mark.substr(0, std::min(dot, mark.size()));
  if (dot == std::string_view::npos ||
      !tokens_.sealed("signin-page", std::string(session) + " " + std::string(markExpires),
                      mark.substr(dot + 1)) ||
      now >= toInt(markExpires)) {
    return refuse(403,
                  "This sign-in was started in another browser or has expired. "
                  "Start signing in again.");
  }
  const std::string userKey = "user:" + std::string(user);
  const std::string addressKey = "addr:" + address;
  auto steady = Lockout::Clock::now();
  if (lockout_.locked(userKey, steady) || lockout_.locked(addressKey, steady)) {
    return refuse(429, "Too many failed attempts. Try again in a few minutes.");
  }
  if (!validUserName(user) || !users_->check(user, password)) {
    // Only names that exist are counted, so made-up names cannot fill the table.
    if (validUserName(user) && users_->known(user)) lockout_.failed(userKey, steady);
    lockout_.failed(addressKey, steady);
    return refuse(401, "Wrong name or password.");
  }
  lockout_.succeeded(userKey);
  lockout_.succeeded(addressKey);

  std::error_code ec;
  fs::create_directories(folder_, ec);
  ::chmod(folder_.c_str(), 0700);
  if (!sweep()) return refuse(429, "Too many sign-ins are waiting. Try again later.");
  if (fs::exists(usedFile(session), ec)) return refuse(409, "This sign-in was already used.");
  std::string expires = std::to_string(now + kGrantSeconds);
  std::string grant = std::string(user) + " " + expires;
  std::string text = grant + " " + tokens_.seal("signin-grant", std::string(session) + " " + grant);
  // Written aside, then linked into place: link() fails if the name exists,
  // so a session is confirmed once, and nobody reads half a grant.
  auto suffix = randomHex(8);
  if (!suffix) return std::unexpected(suffix.error());
  fs::path aside = folder_ / ("." + *suffix + ".new");
  if (auto written = writeFileAtomically(aside, text + "\n", 0600); !written) {
    return std::unexpected(written.error());
  }
  int linked = ::link(aside.c_str(), grantFile(session).c_str());
  int error = errno;
  fs::remove(aside, ec);
  if (linked != 0 && error == EEXIST) return refuse(409, "This sign-in was already confirmed.");
  if (linked != 0) return fail(kPosixErrorDomain, error, "cannot record the sign-in");
  return {};
}

Result<std::optional<std::string>> SignInDesk::collect(std::string_view verifier,
                                                       std::int64_t now) {
  std::string session = sessionOf(verifier);
  fs::path used = usedFile(session);
  // The rename is the claim: of two instances asked at once, one wins.
  if (::rename(grantFile(session).c_str(), used.c_str()) != 0) {
    std::error_code ec;
    if (errno == ENOENT && fs::exists(used, ec)) return refuse(410, "already collected");
    return std::optional<std::string>();
  }
  auto text = readUtf8File(used);
  if (!text) return std::unexpected(text.error());
  std::istringstream fields(*text);
  std::string user, expires, mac;
  fields >> user >> expires >> mac;
  if (!tokens_.sealed("signin-grant", session + " " + user + " " + expires, mac)) {
    return refuse(410, "not a grant of this service");
  }
  if (now >= toInt(expires)) return refuse(410, "the sign-in expired");
  auto token = tokens_.mint(user, now, tokenLifetime_);
  if (!token) return std::unexpected(token.error());
  return std::optional<std::string>(std::move(*token));
}

}  // namespace lumora::devservice
