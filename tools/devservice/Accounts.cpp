#include "tools/devservice/Accounts.h"

#include <argon2.h>
#include <openssl/rand.h>

#include <cerrno>
#include <sstream>

#include "platform/foundation/TextFile.h"
#include "tools/devservice/Tokens.h"

namespace lumora::devservice {
namespace {

// OWASP's smallest recommended Argon2id cost (19 MiB, 2 passes): a sign-in
// costs tens of milliseconds, and a pool of them stays within memory.
constexpr std::uint32_t kPasses = 2;
constexpr std::uint32_t kMemoryKiB = 19 * 1024;
constexpr std::uint32_t kLanes = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

std::map<std::string, std::string, std::less<>> parseUsers(const std::string& text) {
  std::map<std::string, std::string, std::less<>> users;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t colon = line.find(':');
    if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::string hash = line.substr(colon + 1);
    if (validUserName(name) && hash.starts_with("$argon2id$")) users[name] = hash;
  }
  return users;
}

}  // namespace

template <class T>
std::shared_ptr<const T> ReloadingFile<T>::current() {
  struct stat info {};
  Stamp now;
  if (::stat(path_.c_str(), &info) == 0) {
    now = Stamp{true, info.st_dev, info.st_ino, info.st_size,
                static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
  }
  std::lock_guard guard(mutex_);
  if (value_ && now == stamp_) return value_;
  std::string text;
  if (now.exists) {
    auto read = readUtf8File(path_);
    // A file being replaced reads as before rather than as empty.
    if (!read && value_) return value_;
    if (read) text = std::move(*read);
  }
  value_ = std::make_shared<const T>(parse_(text));
  stamp_ = now;
  return value_;
}

template class ReloadingFile<std::map<std::string, std::string, std::less<>>>;
template class ReloadingFile<Revocations>;

bool validUserName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == '@';
    if (!ok) return false;
  }
  return true;
}

Result<std::string> hashPassword(std::string_view password) {
  unsigned char salt[kSaltBytes];
  if (RAND_bytes(salt, sizeof salt) != 1) return fail(kPosixErrorDomain, EIO, "no random bytes");
  std::size_t length =
      argon2_encodedlen(kPasses, kMemoryKiB, kLanes, kSaltBytes, kHashBytes, Argon2_id);
  std::string encoded(length, '\0');
  int rc = argon2id_hash_encoded(kPasses, kMemoryKiB, kLanes, password.data(), password.size(),
                                 salt, kSaltBytes, kHashBytes, encoded.data(), encoded.size());
  if (rc != ARGON2_OK) return fail("argon2", rc, argon2_error_message(rc));
  encoded.resize(encoded.find('\0'));
  return encoded;
}

Result<void> addUser(const std::filesystem::path& file, std::string_view name,
                     std::string_view password) {
  if (!validUserName(name)) {
    return fail("usage", 2, "a user name is 1 to 64 letters, digits and . _ - @");
  }
  if (password.empty()) return fail("usage", 2, "the password is empty");
  auto hash = hashPassword(password);
  if (!hash) return std::unexpected(hash.error());
  std::string text;
  if (auto existing = readUtf8File(file)) {
    text = std::move(*existing);
  } else if (existing.error().domain != kPosixErrorDomain || existing.error().code != ENOENT) {
    return std::unexpected(existing.error());
  }
  // Every other line stays as it is; the user's own line is replaced.
  std::string out;
  std::istringstream lines(text);
  std::string line;
  std::string prefix = std::string(name) + ":";
  while (std::getline(lines, line)) {
    if (!line.starts_with(prefix)) out += line + "\n";
  }
  out += prefix + *hash + "\n";
  return writeFileAtomically(file, out, 0600);
}

UserDirectory::UserDirectory(std::filesystem::path file) : users_(std::move(file), parseUsers) {}

bool UserDirectory::known(std::string_view name) {
  auto users = users_.current();
  return users->find(name) != users->end();
}

bool UserDirectory::check(std::string_view name, std::string_view password) {
  // A hash of nothing anybody knows, checked for unknown names.
  static const std::string kDecoy = [] {
    auto made = hashPassword("decoy, never a password");
    return made ? *made : std::string();
  }();
  auto users = users_.current();
  auto it = users->find(name);
  const std::string& hash = it != users->end() ? it->second : kDecoy;
  std::string pwd(password);
  hashing_.acquire();
  bool match = !hash.empty() && argon2id_verify(hash.c_str(), pwd.data(), pwd.size()) == ARGON2_OK;
  hashing_.release();
  return match && it != users->end();
}

bool Lockout::locked(const std::string& key, Clock::time_point now) {
  std::lock_guard guard(mutex_);
  auto it = failures_.find(key);
  if (it == failures_.end()) return false;
  if (now - it->second.last > kWindow) {
    failures_.erase(it);
    return false;
  }
  return it->second.count >= kMaxFailures;
}

void Lockout::failed(const std::string& key, Clock::time_point now) {
  std::lock_guard guard(mutex_);
  if (failures_.size() >= kMaxKeys) {
    std::erase_if(failures_, [&](const auto& item) { return now - item.second.last > kWindow; });
    if (failures_.size() >= kMaxKeys) return;  // full of recent failures: those stay
  }
  Failures& f = failures_[key];
  if (f.count > 0 && now - f.last > kWindow) f.count = 0;
  ++f.count;
  f.last = now;
}

void Lockout::succeeded(const std::string& key) {
  std::lock_guard guard(mutex_);
  failures_.erase(key);
}

}  // namespace lumora::devservice
