#pragma once
// Who may sign in: an operator-provisioned users file of NAME:HASH lines,
// the hashes Argon2id strings in the usual encoded form ($argon2id$v=19$...),
// and a lockout that slows down guessing per account and per address.

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace lumora::devservice {

// A file parsed again only when it changed (another inode, size or
// modification time): one stat per look, never a read per request. A
// missing file reads as empty.
template <class T>
class ReloadingFile {
 public:
  using Parse = std::function<T(const std::string& text)>;
  ReloadingFile(std::filesystem::path path, Parse parse)
      : path_(std::move(path)), parse_(std::move(parse)) {}

  std::shared_ptr<const T> current();

 private:
  struct Stamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const Stamp&) const = default;
  };

  const std::filesystem::path path_;
  const Parse parse_;
  std::mutex mutex_;
  std::shared_ptr<const T> value_;  // protected by mutex_
  Stamp stamp_;                     // protected by mutex_
};

bool validUserName(std::string_view name);
// An Argon2id hash of the password with a fresh salt, in encoded form.
Result<std::string> hashPassword(std::string_view password);
// Adds NAME, or replaces its hash, in the users file (written atomically, 0600).
Result<void> addUser(const std::filesystem::path& file, std::string_view name,
                     std::string_view password);

class UserDirectory {
 public:
  explicit UserDirectory(std::filesystem::path file);
  // True for a known name whose hash the password matches. An unknown name
  // costs a hash too, so timing tells nothing about which names exist.
  bool check(std::string_view name, std::string_view password);
  bool known(std::string_view name);

 private:
  using Users = std::map<std::string, std::string, std::less<>>;
  ReloadingFile<Users> users_;
  // Each check takes 19 MiB for a moment: a few at once, the rest wait.
  std::counting_semaphore<4> hashing_{4};
};

// Repeated failures lock a key ("user:NAME", "addr:IP") for a while.
class Lockout {
 public:
  using Clock = std::chrono::steady_clock;
  bool locked(const std::string& key, Clock::time_point now);
  void failed(const std::string& key, Clock::time_point now);
  void succeeded(const std::string& key);

  static constexpr int kMaxFailures = 5;
  static constexpr std::chrono::minutes kWindow{15};
  static constexpr std::size_t kMaxKeys = 10000;

 private:
  struct Failures {
    int count = 0;
    Clock::time_point last{};
  };
  std::mutex mutex_;
  std::map<std::string, Failures, std::less<>> failures_;  // protected by mutex_
};

}  // namespace lumora::devservice
