#include "platform/fileprovider/linux/mount/ThumbnailReaders.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace lumora::fuse {

namespace {

// The kernel keeps this much of an executable's name as the process's name.
constexpr size_t kCommLength = 15;
// How far up a reader's parents to look for the thumbnailer that runs it.
constexpr int kAncestorDepth = 8;
// Long enough for a thumbnailer's opens of one file, short enough that a
// reused process number is not mistaken.
constexpr auto kDecisionLife = std::chrono::seconds(2);
// GNOME's thumbnail factory runs each thumbnailer in a sandbox whose
// command line names the scratch folder it makes for the result.
constexpr const char* kFactorySandboxMark = "gnome-desktop-thumbnailer-";
// Thumbnail services that read the files themselves, with no .thumbnailer
// file naming them: Xfce's.
constexpr const char* kBuiltInReaders[] = {"tumblerd"};

std::string readSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file name of the executable an Exec= or TryExec= value starts with.
std::string executableOf(std::string value) {
  size_t start = value.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  value.erase(0, start);
  std::string first;
  if (value.front() == '"') {
    first = value.substr(1, value.find('"', 1) - 1);
  } else {
    first = value.substr(0, value.find_first_of(" \t"));
  }
  return std::filesystem::path(first).filename().string();
}

pid_t parentOf(const std::filesystem::path& proc, pid_t pid) {
  // "pid (name) state ppid ...": the name may hold spaces and parentheses.
  std::string stat = readSmallFile(proc / std::to_string(pid) / "stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  // Past the name: a space, the state, a space, then the parent.
  const char* field = stat.c_str() + close + 1;
  if (std::strlen(field) < 4) return 0;
  char* end = nullptr;
  long parent = std::strtol(field + 3, &end, 10);
  return end == field + 3 ? 0 : static_cast<pid_t>(parent);
}

bool isUriSafe(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::filesystem::path userCacheFolder() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') return cache;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home ? home : "/") / ".cache";
}

std::vector<std::filesystem::path> ThumbnailReaders::standardFolders() {
  std::vector<std::filesystem::path> folders;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
    folders.emplace_back(std::filesystem::path(data) / "thumbnailers");
  } else if (const char* home = std::getenv("HOME")) {
    folders.emplace_back(std::filesystem::path(home) / ".local/share/thumbnailers");
  }
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
  for (std::string dir; std::getline(list, dir, ':');) {
    if (!dir.empty()) folders.emplace_back(std::filesystem::path(dir) / "thumbnailers");
  }
  return folders;
}

ThumbnailReaders::ThumbnailReaders(const std::vector<std::filesystem::path>& folders,
                                   std::filesystem::path proc)
    : proc_(std::move(proc)) {
  for (const char* name : kBuiltInReaders) names_.insert(name);
  for (const auto& folder : folders) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (it->path().extension() != ".thumbnailer") continue;
      std::ifstream in(it->path());
      for (std::string line; std::getline(in, line);) {
        for (std::string_view key : {"Exec=", "TryExec="}) {
          if (!line.starts_with(key)) continue;
          if (auto name = executableOf(line.substr(key.size())); !name.empty()) {
            names_.insert(name);
          }
        }
      }
    }
  }
}

bool ThumbnailReaders::isThumbnailer(pid_t pid) {
  return decide(pid, kAncestorDepth);
}

void ThumbnailReaders::turnedAway(uint64_t inode) {
  std::lock_guard lock(mutex_);
  // Bounded: past this, a forgotten file keeps its failed thumbnail.
  if (turnedAway_.size() < 65536) turnedAway_.insert(inode);
}

bool ThumbnailReaders::wasTurnedAway(uint64_t inode) {
  std::lock_guard lock(mutex_);
  return turnedAway_.contains(inode);
}

void ThumbnailReaders::triedAgain(uint64_t inode) {
  std::lock_guard lock(mutex_);
  turnedAway_.erase(inode);
}

// Parents are decided as their children are, and kept as long: a shell
// that starts many readers is looked at once.
bool ThumbnailReaders::decide(pid_t pid, int depth) {
  if (pid <= 1) return false;
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    auto it = decided_.find(pid);
    if (it != decided_.end() && it->second.until > now) return it->second.thumbnailer;
  }
  bool thumbnailer =
      isThumbnailerItself(pid) || (depth > 0 && decide(parentOf(proc_, pid), depth - 1));
  std::lock_guard lock(mutex_);
  if (decided_.size() > 256)
    std::erase_if(decided_, [&](auto& d) { return d.second.until <= now; });
  decided_[pid] = {thumbnailer, now + kDecisionLife};
  return thumbnailer;
}

bool ThumbnailReaders::isThumbnailerItself(pid_t pid) const {
  auto folder = proc_ / std::to_string(pid);
  std::error_code ec;
  auto exe = std::filesystem::read_symlink(folder / "exe", ec);
  if (!ec) {
    std::string name = exe.filename().string();
    if (name.ends_with(" (deleted)")) name.resize(name.size() - 10);
    if (names_.contains(name)) return true;
  }
  // A script's name, or an executable whose link cannot be read: the
  // kernel's short name for it.
  std::string comm = readSmallFile(folder / "comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  if (!comm.empty()) {
    for (const auto& name : names_) {
      if (name.size() >= kCommLength ? name.compare(0, kCommLength, comm) == 0 : name == comm) {
        return true;
      }
    }
  }
  return readSmallFile(folder / "cmdline").find(kFactorySandboxMark) != std::string::npos;
}

std::string thumbnailUri(const std::filesystem::path& file) {
  std::string uri = "file://";
  for (unsigned char c : file.string()) {
    if (isUriSafe(c)) {
      uri.push_back(static_cast<char>(c));
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    }
  }
  return uri;
}

std::string failedThumbnailName(const std::filesystem::path& file) {
  const std::string uri = thumbnailUri(file);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(uri.data(), uri.size(), digest, &length, EVP_md5(), nullptr);
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    name += hex;
  }
  return name + ".png";
}

bool forgetFailedThumbnail(const std::filesystem::path& file) {
  auto record =
      userCacheFolder() / "thumbnails/fail/gnome-thumbnail-factory" / failedThumbnailName(file);
  return ::unlink(record.c_str()) == 0;
}

}  // namespace lumora::fuse
