#include "tools/devservice/StorageTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "platform/foundation/TextFile.h"

namespace lumora::devservice {
namespace {

std::unexpected<Error> status(long code, std::string description) {
  return fail(kDevServiceErrorDomain, code, std::move(description));
}

// Splits a relative key path into components. Refuses empty components,
// "." and "..", and NUL bytes. A trailing "/" is allowed (folder keys).
std::optional<std::vector<std::string>> components(std::string_view rel) {
  std::vector<std::string> parts;
  if (rel.find('\0') != std::string_view::npos) return std::nullopt;
  if (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
  if (rel.empty()) return parts;
  std::size_t start = 0;
  while (true) {
    std::size_t end = rel.find('/', start);
    std::string_view part = rel.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    parts.emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// Walks `parts` beneath `root`, never following a symbolic link. The last
// descriptor is opened with `lastFlags`; an error is the errno of the walk.
Result<UniqueFd> openBeneath(int root, const std::vector<std::string>& parts, int lastFlags) {
  UniqueFd current(::openat(root, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return std::unexpected(posixError(errno, "open root"));
  for (std::size_t i = 0; i < parts.size(); ++i) {
    bool last = i + 1 == parts.size();
    int flags = last ? lastFlags : O_PATH | O_DIRECTORY;
    UniqueFd next(::openat(current.get(), parts[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return std::unexpected(posixError(errno, parts[i]));
    current = std::move(next);
  }
  if (parts.empty() && (lastFlags & O_PATH) == 0) {
    UniqueFd reopened(::openat(root, ".", lastFlags | O_CLOEXEC));
    if (!reopened.valid()) return std::unexpected(posixError(errno, "open root"));
    return reopened;
  }
  return current;
}

StorageRecord makeRecord(std::string key, const struct stat& st, bool dir) {
  StorageRecord r;
  r.key = std::move(key);
  r.dir = dir;
  r.size = dir ? 0 : static_cast<std::int64_t>(st.st_size);
  std::int64_t mtimeNs =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  char tag[80];
  std::snprintf(tag, sizeof tag, "%llx-%llx-%llx", static_cast<unsigned long long>(st.st_ino),
                static_cast<unsigned long long>(r.size), static_cast<unsigned long long>(mtimeNs));
  r.etag = tag;
  r.modified = formatRfc3339(st.st_mtim.tv_sec);
  return r;
}

// A visible child of a folder: its key component (a folder's ends in "/").
struct Child {
  std::string component;
  bool dir = false;
  bool operator<(const Child& other) const { return component < other.component; }
};

using SortedChildren = std::vector<Child>;

// The visible children of a folder in component order, which is the order
// of their keys. Types come from the directory entry, so a page costs a
// stat only for the records it returns.
Result<SortedChildren> readChildren(int dirFd) {
  int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return std::unexpected(posixError(errno, "open folder"));
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return std::unexpected(posixError(errno, "read folder"));
  }
  SortedChildren out;
  while (dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!isValidUtf8(name)) continue;  // not representable as a JSON key
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type != DT_DIR && type != DT_REG) continue;
    Child child{std::string(name), type == DT_DIR};
    if (child.dir) child.component += '/';
    out.push_back(std::move(child));
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

// Sorted children of large folders, kept while the folder is unchanged, so
// that paging through a folder reads and sorts it once rather than per page.
class FolderIndex {
 public:
  Result<std::shared_ptr<const SortedChildren>> children(int dirFd) {
    struct stat st {};
    if (::fstat(dirFd, &st) != 0) return std::unexpected(posixError(errno, "stat folder"));
    const Key key{st.st_dev, st.st_ino};
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(key);
      if (it != entries_.end() && it->second.modified == nanoseconds(st.st_mtim) &&
          it->second.changed == nanoseconds(st.st_ctim)) {
        it->second.used = ++clock_;
        return it->second.children;
      }
    }
    auto read = readChildren(dirFd);
    if (!read) return std::unexpected(read.error());
    auto children = std::make_shared<const SortedChildren>(std::move(*read));
    // Timestamps move in coarse ticks: a folder changed within the last
    // moments may change again without its mtime moving, so it is not kept.
    // Its ctime still tells a later change that set the mtime back.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t settled = nanoseconds(now) - kSettleNs;
    if (children->size() >= kMinChildren && nanoseconds(st.st_mtim) < settled) {
      std::lock_guard lock(mutex_);
      if (entries_.size() >= kMaxFolders) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
          return a.second.used < b.second.used;
        });
        entries_.erase(oldest);
      }
      entries_[key] = Entry{children, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), ++clock_};
    }
    return children;
  }

 private:
  // Smaller folders read in well under a millisecond.
  static constexpr std::size_t kMinChildren = 1000;
  static constexpr std::size_t kMaxFolders = 32;
  static constexpr std::int64_t kSettleNs = 2'000'000'000;

  using Key = std::pair<dev_t, ino_t>;
  struct Entry {
    std::shared_ptr<const SortedChildren> children;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    std::uint64_t used = 0;
  };
  std::mutex mutex_;
  std::map<Key, Entry> entries_;  // protected by mutex_
  std::uint64_t clock_ = 0;       // protected by mutex_
};

namespace {

// Gathers one page in key order by walking folders in component order,
// starting each folder at the resume key instead of reading what lies before.
class PageWalk {
 public:
  PageWalk(FolderIndex& index, std::optional<std::string> after, std::size_t wanted)
      : index_(index), after_(std::move(after)), wanted_(wanted) {}

  bool full() const { return records_.size() >= wanted_; }
  std::vector<StorageRecord>& records() { return records_; }
  void add(StorageRecord record) { records_.push_back(std::move(record)); }
  const std::optional<std::string>& after() const { return after_; }

  // The children of the folder `dirFd`, whose keys begin with `keyFolder`,
  // limited to names that begin with `namePrefix`: folders as records when
  // `delimited`, else the files below them.
  Result<void> folder(int dirFd, const std::string& keyFolder, std::string_view namePrefix,
                      bool delimited) {
    auto children = index_.children(dirFd);
    if (!children) return std::unexpected(children.error());
    const SortedChildren& sorted = **children;
    auto next = sorted.begin();
    if (after_ && after_->starts_with(keyFolder)) {
      // Resume after the key; in a walk of files, within the folder holding it.
      std::string_view rest = std::string_view(*after_).substr(keyFolder.size());
      std::size_t slash = rest.find('/');
      Child resume{std::string(rest), false};
      if (!delimited && slash != std::string_view::npos) resume.component.resize(slash + 1);
      next = std::upper_bound(sorted.begin(), sorted.end(), resume);
      if (!delimited && next != sorted.begin() && std::prev(next)->dir &&
          rest.starts_with(std::prev(next)->component)) {
        --next;
      }
    } else if (after_ && *after_ > keyFolder) {
      return {};  // every key here sorts before the resume key
    }
    for (; next != sorted.end() && !full(); ++next) {
      std::string_view name = next->component;
      if (next->dir) name.remove_suffix(1);
      if (!name.starts_with(namePrefix)) continue;
      if (next->dir && !delimited) {
        UniqueFd sub(::openat(dirFd, std::string(name).c_str(),
                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A folder that vanished or cannot be read lists nothing.
        if (sub.valid()) (void)folder(sub.get(), keyFolder + next->component, "", false);
        continue;
      }
      struct stat st {};
      if (::fstatat(dirFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (next->dir ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) continue;
      add(makeRecord(keyFolder + next->component, st, next->dir));
    }
    return {};
  }

 private:
  FolderIndex& index_;
  const std::optional<std::string> after_;
  const std::size_t wanted_;
  std::vector<StorageRecord> records_;
};

constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string formatRfc3339(std::int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  if (::gmtime_r(&t, &tm) == nullptr) return {};
  long year = tm.tm_year + 1900L;
  if (year < 0 || year > 9999) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04ld-%02d-%02dT%02d:%02d:%02dZ", year, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string encodeCursor(std::string_view lastKey) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : lastKey) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kBase64Url[(bits >> count) & 0x3f];
    }
  }
  if (count > 0) out += kBase64Url[(bits << (6 - count)) & 0x3f];
  return out;
}

std::optional<std::string> decodeCursor(std::string_view cursor) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : cursor) {
    const char* at = std::char_traits<char>::find(kBase64Url, 64, c);
    if (at == nullptr) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(at - kBase64Url);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  // Leftover bits must be padding zeros of the last character.
  if (count >= 6 || (bits & ((1u << count) - 1)) != 0) return std::nullopt;
  return out;
}

Result<StorageTree> StorageTree::open(const std::filesystem::path& root) {
  UniqueFd fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return std::unexpected(posixError(errno, root.string()));
  return StorageTree(std::move(fd), std::make_shared<FolderIndex>());
}

Result<ListPage> StorageTree::list(std::string_view prefix, bool delimited, std::string_view cursor,
                                   std::size_t pageSize) const {
  std::optional<std::string> after;
  if (!cursor.empty()) {
    after = decodeCursor(cursor);
    if (!after) return status(400, "the cursor is not one this service issued");
  }
  pageSize = std::max<std::size_t>(pageSize, 1);
  // One record beyond the page tells whether another page follows.
  PageWalk walk(*index_, std::move(after), pageSize + 1);
  if (!prefix.starts_with(kMirrorPrefix)) {
    // A prefix of "mirror/" itself ("", "mi") reaches the whole tree.
    if (!kMirrorPrefix.starts_with(prefix)) return ListPage{};
    if (delimited) {
      struct stat st {};
      if ((!walk.after() || *walk.after() < kMirrorPrefix) && ::fstat(root_.get(), &st) == 0)
        walk.add(makeRecord(std::string(kMirrorPrefix), st, true));
    } else {
      (void)walk.folder(root_.get(), std::string(kMirrorPrefix), "", false);
    }
  } else {
    std::string_view rel = prefix.substr(kMirrorPrefix.size());
    std::size_t slash = rel.rfind('/');
    std::string_view folder = slash == std::string_view::npos ? "" : rel.substr(0, slash + 1);
    std::string_view namePrefix = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    auto parts = components(folder);
    if (!parts || namePrefix.find('\0') != std::string_view::npos) {
      return status(400, "the prefix is not a key beneath the served folder");
    }
    auto dir = openBeneath(root_.get(), *parts, O_PATH | O_DIRECTORY);
    if (!dir) return ListPage{};  // no such folder: no keys
    auto read = walk.folder(dir->get(), std::string(kMirrorPrefix) + std::string(folder),
                            namePrefix, delimited);
    if (!read) return status(500, read.error().description);
  }
  ListPage page;
  page.records = std::move(walk.records());
  if (page.records.size() > pageSize) {
    page.records.resize(pageSize);
    page.cursor = encodeCursor(page.records.back().key);
  }
  return page;
}

Result<std::optional<StorageRecord>> StorageTree::exact(std::string_view key) const {
  auto object = openObject(key);
  if (object) return std::optional<StorageRecord>(std::move(object->record));
  if (object.error().code == 404) return std::optional<StorageRecord>();
  return std::unexpected(object.error());
}

Result<OpenObject> StorageTree::openObject(std::string_view key) const {
  if (!key.starts_with(kMirrorPrefix)) return status(404, "no such object");
  std::string_view rel = key.substr(kMirrorPrefix.size());
  if (rel.empty() || rel.back() == '/') return status(404, "a folder is not an object");
  auto parts = components(rel);
  if (!parts) return status(400, "the key is not a key beneath the served folder");
  // O_NONBLOCK: opening a FIFO must not hang the request.
  auto fd = openBeneath(root_.get(), *parts, O_RDONLY | O_NONBLOCK);
  if (!fd) return status(404, "no such object");
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) return status(404, "no such object");
  int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK);
  OpenObject object;
  object.record = makeRecord(std::string(key), st, false);
  object.fd = std::move(*fd);
  return object;
}

}  // namespace lumora::devservice
