#include "platform/fileprovider/linux/ContentCache.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {
constexpr const char* kPartialPrefix = ".partial-";
}

struct ContentCache::State {
  struct File {
    uint64_t size = 0;
    uint64_t lastUse = 0;
    int pins = 0;
  };
  std::mutex mutex;
  std::map<std::string, File> files;  // protected by mutex
  uint64_t total = 0;                 // protected by mutex
  uint64_t tick = 0;                  // protected by mutex

  void unpin(const std::string& name) {
    std::lock_guard lock(mutex);
    auto it = files.find(name);
    if (it != files.end() && it->second.pins > 0) --it->second.pins;
  }
};

ContentCache::Lease::Lease(Lease&& other) noexcept {
  *this = std::move(other);
}

ContentCache::Lease& ContentCache::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    reset();
    state_ = std::move(other.state_);
    name_ = std::move(other.name_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
  }
  return *this;
}

ContentCache::Lease::~Lease() {
  reset();
}

void ContentCache::Lease::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (state_) state_->unpin(name_);
  state_.reset();
}

ContentCache::ContentCache(fs::path directory, uint64_t limitBytes)
    : directory_(std::move(directory)), limit_(limitBytes), state_(std::make_shared<State>()) {}

Result<void> ContentCache::prepare() {
  std::error_code ec;
  fs::create_directories(directory_.parent_path(), ec);
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + directory_.string()));
  }
  struct Found {
    std::string name;
    uint64_t size;
    fs::file_time_type time;
  };
  std::vector<Found> found;
  for (const auto& entry : fs::directory_iterator(directory_, ec)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(kPartialPrefix)) {
      fs::remove(entry.path(), ec);
      continue;
    }
    if (!entry.is_regular_file(ec) || name.size() != 64) continue;
    found.push_back({name, entry.file_size(ec), entry.last_write_time(ec)});
  }
  if (ec) return std::unexpected(posixError(ec.value(), "cannot read " + directory_.string()));
  std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.time < b.time; });
  std::lock_guard lock(state_->mutex);
  for (const auto& file : found) {
    state_->files[file.name] = State::File{file.size, ++state_->tick, 0};
    state_->total += file.size;
  }
  evictLocked({});
  return {};
}

std::string ContentCache::fileNameFor(const std::string& identifier, const std::string& version) {
  // The NUL keeps ("ab", "c") and ("a", "bc") apart.
  std::string input = identifier;
  input.push_back('\0');
  input += version;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 15]);
  }
  return name;
}

std::optional<ContentCache::Lease> ContentCache::openLocked(const std::string& name) {
  auto it = state_->files.find(name);
  if (it == state_->files.end()) return std::nullopt;
  int fd = ::open((directory_ / name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // Removed behind our back: forget it and fetch again.
    state_->total -= it->second.size;
    state_->files.erase(it);
    return std::nullopt;
  }
  it->second.lastUse = ++state_->tick;
  ++it->second.pins;
  Lease lease;
  lease.state_ = state_;
  lease.name_ = name;
  lease.fd_ = fd;
  lease.size_ = it->second.size;
  return lease;
}

std::optional<ContentCache::Lease> ContentCache::open(const std::string& identifier,
                                                      const std::string& version) {
  std::lock_guard lock(state_->mutex);
  return openLocked(fileNameFor(identifier, version));
}

Result<ContentCache::Lease> ContentCache::adopt(const std::string& identifier,
                                                const std::string& version,
                                                const fs::path& downloaded) {
  std::string name = fileNameFor(identifier, version);
  fs::path target = directory_ / name;
  std::error_code ec;
  fs::rename(downloaded, target, ec);
  if (ec == std::errc::cross_device_link) {
    // Another file system: copy beside the target, then rename into place so
    // that no half-written file ever carries a cache name.
    fs::path partial = directory_ / (kPartialPrefix + name);
    ec.clear();
    fs::copy_file(downloaded, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(partial, target, ec);
    std::error_code ignored;
    if (ec) fs::remove(partial, ignored);
    fs::remove(downloaded, ignored);
  }
  if (ec) {
    std::error_code ignored;
    fs::remove(downloaded, ignored);
    return std::unexpected(posixError(ec.value(), "cannot store contents in the cache"));
  }
  ::chmod(target.c_str(), 0600);
  uint64_t size = fs::file_size(target, ec);
  if (ec) return std::unexpected(posixError(ec.value(), "cannot read the cached contents"));

  std::lock_guard lock(state_->mutex);
  auto& file = state_->files[name];
  state_->total = state_->total - file.size + size;
  file.size = size;
  auto lease = openLocked(name);
  if (!lease) return std::unexpected(posixError(errno, "cannot open the cached contents"));
  evictLocked(name);
  return std::move(*lease);
}

void ContentCache::evictLocked(const std::string& keep) {
  while (state_->total > limit_) {
    auto victim = state_->files.end();
    for (auto it = state_->files.begin(); it != state_->files.end(); ++it) {
      if (it->second.pins > 0 || it->first == keep) continue;
      if (victim == state_->files.end() || it->second.lastUse < victim->second.lastUse) {
        victim = it;
      }
    }
    if (victim == state_->files.end()) return;  // everything left is in use
    std::error_code ec;
    fs::remove(directory_ / victim->first, ec);
    state_->total -= victim->second.size;
    state_->files.erase(victim);
  }
}

uint64_t ContentCache::bytesUsed() const {
  std::lock_guard lock(state_->mutex);
  return state_->total;
}

size_t ContentCache::fileCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->files.size();
}

}  // namespace lumora::fuse
