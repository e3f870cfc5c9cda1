#include "platform/fileprovider/linux/mount/FuseMount.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/foundation/Paths.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

Error reason(int code, std::string text) {
  return Error{kPosixErrorDomain, code, std::move(text)};
}

// True when `folder` holds anything at all, hidden names too.
Result<bool> holdsFiles(const fs::path& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return std::unexpected(posixError(errno, "cannot read " + folder.string()));
  bool any = false;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      any = true;
      break;
    }
  }
  ::closedir(dir);
  return any;
}

}  // namespace

Result<std::optional<fs::path>> moveAsideSavedFiles(const fs::path& mountpoint, std::time_t now,
                                                    const fs::path& shownAt) {
  auto holds = holdsFiles(mountpoint);
  if (!holds) return std::unexpected(holds.error());
  if (!*holds) return std::nullopt;
  // The folder itself, not a symbolic link that leads to it.
  std::error_code ec;
  fs::path folder = fs::canonical(mountpoint, ec);
  if (ec) return std::unexpected(posixError(ec.value(), "cannot resolve " + mountpoint.string()));
  // A mount point given as the home folder, or one above it, is not moved.
  fs::path home = fs::weakly_canonical(paths::homeDirectory(), ec);
  fs::path fromFolder = home.lexically_relative(folder);
  if (folder == folder.root_path() ||
      (!home.empty() && !fromFolder.empty() && *fromFolder.begin() != "..")) {
    return std::unexpected(reason(EBUSY, folder.string() + " holds the home folder"));
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return std::unexpected(posixError(errno, folder.string()));
  std::tm local{};
  localtime_r(&now, &local);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H.%M.%S", &local);
  const bool elsewhere = !shownAt.empty() && shownAt != mountpoint;
  fs::path beside = elsewhere ? shownAt.parent_path() : folder.parent_path();
  std::string base = (elsewhere ? shownAt : folder).filename().string() + " (saved " + when + ")";
  fs::path aside;
  for (int n = 1;; ++n) {
    if (n > 1000) return std::unexpected(posixError(EEXIST, "no free name beside " + base));
    aside = beside / (n == 1 ? base : base + " " + std::to_string(n));
    // Never onto something that exists: a rename would replace an empty
    // folder of that name, and the test before it could lose a race.
    if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      break;
    }
    if (errno == EEXIST) continue;
    if (beside != folder.parent_path()) {  // another disk, say: beside the folder then
      beside = folder.parent_path();
      n = 0;
      continue;
    }
    return std::unexpected(posixError(errno, "cannot move " + folder.string() + " aside"));
  }
  if (::mkdir(folder.c_str(), st.st_mode & 07777) != 0 && errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + folder.string()));
  }
  return aside;
}

FuseMount::FuseMount(fs::path mountpoint, FilesystemCore& filesystem, const fs::path& shownAt)
    : mountpoint_(std::move(mountpoint)) {
  context_.filesystem = &filesystem;
  context_.owner = ::getuid();
  context_.group = ::getgid();
  context_.mountedAt = std::time(nullptr);
  context_.mountpoint = mountpoint_;
  context_.shownAt = shownAt.empty() ? mountpoint_ : shownAt;
  context_.thumbnailReaders = std::make_unique<ThumbnailReaders>();
  context_.headThumbnails = std::make_unique<HeadThumbnails>(filesystem, userCacheFolder());
}

Result<std::unique_ptr<FuseMount>> FuseMount::mount(const fs::path& mountpoint,
                                                    FilesystemCore& filesystem,
                                                    const std::string& fsname,
                                                    const fs::path& shownAt) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    int code = errno;
    return std::unexpected(reason(
        code, std::string("FUSE is not available (/dev/fuse: ") + std::strerror(code) + ")"));
  }
  std::error_code ec;
  fs::create_directories(mountpoint, ec);
  struct stat st {};
  if (::stat(mountpoint.c_str(), &st) != 0) {
    int code = errno;
    if (code == ENOTCONN) {
      return std::unexpected(reason(EBUSY, "The mount point " + mountpoint.string() +
                                               " is left over from a daemon that is gone"));
    }
    return std::unexpected(reason(
        code, "Cannot use the mount point " + mountpoint.string() + ": " + std::strerror(code)));
  }
  if (!S_ISDIR(st.st_mode)) {
    return std::unexpected(
        reason(ENOTDIR, "The mount point " + mountpoint.string() + " is not a folder"));
  }
  if (isMountPoint(mountpoint)) {
    return std::unexpected(
        reason(EBUSY, "The mount point " + mountpoint.string() + " is already in use"));
  }
  auto aside = moveAsideSavedFiles(mountpoint, std::time(nullptr), shownAt);
  if (!aside) {
    return std::unexpected(
        reason(aside.error().code, "Files saved in " + mountpoint.string() +
                                       " could not be moved aside: " + aside.error().description));
  }
  if (*aside) {
    log("files saved in %s while it was not mounted are now in %s", mountpoint.c_str(),
        (*aside)->c_str());
  }

  std::unique_ptr<FuseMount> result(new FuseMount(mountpoint, filesystem, shownAt));
  // auto_unmount: fusermount3 takes the mount away when the daemon dies, so
  // that a killed daemon never leaves a mount answering ENOTCONN. ro: the
  // volume is read-only as the desktop sees it (statvfs's ST_RDONLY, which a
  // FUSE statfs answer cannot carry); the kernel then answers every change
  // EROFS itself, before asking us.
  std::string options = "fsname=" + fsname + ",subtype=lumora,auto_unmount,ro";
  std::vector<std::string> storage = {"lumora-fileprovider", "-o", options};
  std::vector<char*> argv;
  argv.reserve(storage.size());
  for (auto& arg : storage) argv.push_back(arg.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const auto& ops = fuseOperations();
  result->session_ = fuse_session_new(&args, &ops, sizeof ops, &result->context_);
  fuse_opt_free_args(&args);
  if (!result->session_) return std::unexpected(reason(EINVAL, "Cannot start a FUSE session"));
  if (fuse_session_mount(result->session_, mountpoint.c_str()) != 0) {
    return std::unexpected(reason(EPERM, "Cannot mount " + mountpoint.string()));
  }
  result->mounted_ = true;
  result->context_.session.store(result->session_);
  result->notifier_ = std::make_unique<KernelNotifier>(result->session_);
  filesystem.setKernelCache(result->notifier_.get());
  return result;
}

FuseMount::~FuseMount() {
  stopNotifying();
  unmount();
  if (session_) fuse_session_destroy(session_);
}

int FuseMount::run() {
  fuse_loop_config* config = fuse_loop_cfg_create();
  // Enough threads that tens of concurrent opens, each waiting for a
  // download, do not starve listings.
  fuse_loop_cfg_set_max_threads(config, 96);
  fuse_loop_cfg_set_idle_threads(config, 8);
  int status = 0;
  if (!stopping_) status = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  // The loop ends on its own, status 0, when the kernel lets the mount go.
  endedFromOutside_ = status == 0 && !stopping_ && !isMountPoint(mountpoint_);
  stopNotifying();
  unmount();
  return status;
}

void FuseMount::stop() {
  if (stopping_.exchange(true)) return;
  // While the loop still answers: a notification under way may wait for the
  // answer to a request.
  stopNotifying();
  fuse_session_exit(session_);
  // Workers sit in read() on /dev/fuse; one request wakes one of them, which
  // then sees the exit flag and ends the loop. Done off this thread: the
  // caller may be a request thread of this very mount.
  std::string path = mountpoint_.string();
  std::thread([path] {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }).detach();
}

void FuseMount::stopNotifying() {
  if (!notifier_) return;
  context_.filesystem->setKernelCache(nullptr);
  notifier_->stop();
}

void FuseMount::unmount() {
  if (!mounted_.exchange(false)) return;
  fuse_session_unmount(session_);
}

}  // namespace lumora::fuse
