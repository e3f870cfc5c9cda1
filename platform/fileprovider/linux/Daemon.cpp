#include "platform/fileprovider/linux/Daemon.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/foundation/Executor.h"
#include "platform/foundation/Paths.h"

namespace lumora::fuse {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: lumora-fileprovider --domain ID --display-name NAME [--mountpoint DIR] "
    "[--shown-at PATH] [--foreground] [--cache-size SIZE]";

Error usage(const std::string& why) {
  return Error{kPosixErrorDomain, EINVAL, why + "\n" + kUsage};
}

}  // namespace

Result<DaemonOptions> parseCommandLine(const std::vector<std::string>& arguments) {
  DaemonOptions options;
  std::optional<std::string> domain, name, mountpoint, shownAt;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    auto value = [&](std::optional<std::string>& into) -> bool {
      if (i + 1 >= arguments.size()) return false;
      into = arguments[++i];
      return true;
    };
    if (arg == "--foreground") {
      options.foreground = true;
    } else if (arg == "--domain") {
      if (!value(domain)) return std::unexpected(usage("--domain needs a value"));
    } else if (arg == "--display-name") {
      if (!value(name)) return std::unexpected(usage("--display-name needs a value"));
    } else if (arg == "--mountpoint") {
      if (!value(mountpoint)) return std::unexpected(usage("--mountpoint needs a value"));
    } else if (arg == "--shown-at") {
      if (!value(shownAt)) return std::unexpected(usage("--shown-at needs a value"));
    } else {
      return std::unexpected(usage("unknown argument " + arg));
    }
  }
  if (!domain || domain->empty()) return std::unexpected(usage("--domain is required"));
  if (!name || name->empty()) return std::unexpected(usage("--display-name is required"));
  // Both become file names (the socket, the cache folder, the mount point).
  if (!isUsableFileName(*domain)) return std::unexpected(usage("unusable domain " + *domain));
  if (!mountpoint && !isUsableFileName(*name)) {
    return std::unexpected(usage("unusable display name " + *name));
  }
  options.domain = {*domain, *name};
  options.mountpoint = mountpoint ? fs::absolute(*mountpoint) : paths::homeDirectory() / *name;
  // Empty as a service unit passes a variable that an older environment
  // file does not set: the mount point then.
  options.shownAt =
      shownAt && !shownAt->empty() ? fs::absolute(*shownAt).lexically_normal() : options.mountpoint;
  return options;
}

std::optional<uint64_t> parseCacheSize(std::string_view text, uint64_t diskTotal) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  std::string number;
  size_t at = 0;
  while (at < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '.')) {
    number.push_back(text[at++]);
  }
  if (number.empty() || number == ".") return std::nullopt;
  double value = std::strtod(number.c_str(), nullptr);
  std::string unit(text.substr(at));
  while (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
  for (auto& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit == "%") {
    if (value > 100) return std::nullopt;
    return static_cast<uint64_t>(static_cast<double>(diskTotal) * value / 100);
  }
  // K, KB and KiB alike: sizes on this desktop count in 1,024s.
  if (unit.ends_with("IB")) unit.erase(unit.size() - 2);
  if (unit.size() == 2 && unit.back() == 'B') unit.pop_back();
  static const std::string kUnits = "KMGT";
  double scale = 1;
  if (unit == "B" || unit.empty()) {
  } else if (unit.size() == 1 && kUnits.find(unit[0]) != std::string::npos) {
    for (size_t i = 0; i <= kUnits.find(unit[0]); ++i) scale *= 1024;
  } else {
    return std::nullopt;
  }
  return static_cast<uint64_t>(value * scale);
}

fs::path configurationFile() {
  return paths::configHome() / "lumora" / "fileprovider.conf";
}

Result<std::optional<std::string>> takeCacheSizeFlag(std::vector<std::string>& arguments) {
  std::optional<std::string> size;
  for (size_t i = 0; i < arguments.size();) {
    if (arguments[i] != "--cache-size") {
      ++i;
      continue;
    }
    if (i + 1 >= arguments.size()) return std::unexpected(usage("--cache-size needs a value"));
    size = arguments[i + 1];
    // A share of the disk is taken against the disk once it is known.
    if (!parseCacheSize(*size, 100)) return std::unexpected(usage("unusable size " + *size));
    arguments.erase(arguments.begin() + static_cast<ptrdiff_t>(i),
                    arguments.begin() + static_cast<ptrdiff_t>(i) + 2);
  }
  return size;
}

uint64_t cacheSizeSetting(const std::optional<std::string>& flag, const fs::path& cacheFolder) {
  struct statvfs disk {};
  uint64_t total = 0;
  if (::statvfs(cacheFolder.c_str(), &disk) == 0) {
    total = static_cast<uint64_t>(disk.f_blocks) * disk.f_frsize;
  }
  if (flag) {
    if (auto size = parseCacheSize(*flag, total)) return *size;
  }
  std::ifstream file(configurationFile());
  for (std::string line; std::getline(file, line);) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::erase_if(key, [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    if (key != "cache-size") continue;
    if (auto size = parseCacheSize(std::string_view(line).substr(equals + 1), total)) return *size;
    log("%s: cache-size is not a size; using the default", configurationFile().c_str());
  }
  auto share = static_cast<uint64_t>(static_cast<double>(total) * kDefaultCacheShare);
  return total == 0 ? kDefaultCacheCap : std::min(share, kDefaultCacheCap);
}

fs::path contentCacheFolder(const std::string& domainIdentifier) {
  return paths::cacheHome() / "lumora" / domainIdentifier;
}

fs::path downloadsFolder(const std::string& domainIdentifier) {
  return contentCacheFolder(domainIdentifier) / ".downloads";
}

namespace {

// The domain's lock: one daemon per domain may touch its cache, socket and
// mount point. A descriptor that holds it, or why not.
Result<int> lockDomain(const std::string& domainIdentifier) {
  fs::path file = paths::cacheHome() / "lumora" / (domainIdentifier + ".lock");
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return std::unexpected(posixError(errno, "cannot open " + file.string()));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK)
      return std::unexpected(Error{kPosixErrorDomain, EALREADY, kAlreadyServed});
    return std::unexpected(posixError(code, "cannot lock " + file.string()));
  }
  return fd;
}

// Makes `folder` if it is missing and leaves it 0700.
Result<void> makePrivateFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(posixError(errno, "cannot create " + folder.string()));
  }
  if (::chmod(folder.c_str(), 0700) != 0) {
    return std::unexpected(posixError(errno, "cannot make " + folder.string() + " private"));
  }
  return {};
}

// $XDG_CACHE_HOME/lumora and the domain's folders in it, made private (0700)
// whatever the umask, so that no other user learns what is cached; the
// downloads an earlier run left are dropped. Only under the domain's lock.
Result<void> prepareCacheFolders(const std::string& domainIdentifier) {
  fs::path domain = contentCacheFolder(domainIdentifier);
  std::error_code ec;
  fs::create_directories(domain.parent_path().parent_path(), ec);
  for (const auto& folder : {domain.parent_path(), domain}) {
    if (auto made = makePrivateFolder(folder); !made) return std::unexpected(made.error());
  }
  fs::path downloads = downloadsFolder(domainIdentifier);
  fs::remove_all(downloads, ec);
  return makePrivateFolder(downloads);
}

// The domain's item store, opened under the domain's lock. Without one the
// daemon still serves, from the service alone.
std::unique_ptr<ItemStore> openItemStore(const std::string& domainIdentifier) {
  auto store = ItemStore::open(ItemStore::fileFor(domainIdentifier));
  if (store) return std::move(*store);
  log("no item store: %s", store.error().description.c_str());
  return nullptr;
}

}  // namespace

DomainDaemon::DomainDaemon(UniqueFd lock, DaemonOptions options,
                           fileprovider::ReplicatedExtension& extension, uint64_t cacheLimit,
                           std::shared_ptr<Retry> retry)
    : lock_(std::move(lock)),
      options_(std::move(options)),
      cache_(contentCacheFolder(options_.domain.identifier), cacheLimit),
      store_(openItemStore(options_.domain.identifier)),
      filesystem_(extension, cache_, std::chrono::steady_clock::now, kListingMaxAge,
                  std::move(retry), kRequestBound, store_.get()),
      keeper_(filesystem_, store_.get()) {}

namespace {

// Users reach a mount kept out of the desktop's volumes (a dot folder) at
// `shownAt`: a link to it, made before each mount. An empty folder there,
// where an earlier version mounted, gives way to it. Anything else there (a
// folder holding files, a file, a link of the user's) is never touched: the
// domain then mounts there itself, as it always did.
DaemonOptions placeMount(DaemonOptions options) {
  if (options.shownAt.empty() || options.shownAt == options.mountpoint) return options;
  const fs::path& shown = options.shownAt;
  std::error_code ec;
  fs::create_directories(options.mountpoint, ec);
  std::string why = ec ? "the mount point cannot be made: " + ec.message() : "";
  for (int look = 0; !ec && look < 3; ++look) {
    struct stat st {};
    if (::lstat(shown.c_str(), &st) != 0) {
      if (errno == ENOENT && ::symlink(options.mountpoint.c_str(), shown.c_str()) == 0) {
        return options;
      }
      if (errno == EEXIST) continue;  // made meanwhile: looked at again
      why = "no link can be made there: " + std::string(std::strerror(errno));
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      if (fs::read_symlink(shown, ec) == options.mountpoint) return options;
      why = "it is a link elsewhere";
      break;
    }
    if (S_ISDIR(st.st_mode) && ::rmdir(shown.c_str()) == 0) {
      log("%s, an empty folder, is now a link to %s", shown.c_str(), options.mountpoint.c_str());
      continue;
    }
    why = !S_ISDIR(st.st_mode) ? "it is not a folder"
          : errno == EBUSY     ? "something is mounted there"
                               : "it is a folder that holds files";
    break;
  }
  log("%s is left as it is (%s): the domain mounts there, where the desktop lists it as a volume",
      shown.c_str(), why.c_str());
  options.mountpoint = shown;
  return options;
}

}  // namespace

Result<std::unique_ptr<DomainDaemon>> DomainDaemon::start(
    const DaemonOptions& given, fileprovider::ReplicatedExtension& extension, uint64_t cacheLimit,
    std::shared_ptr<Retry> retry) {
  auto lock = lockDomain(given.domain.identifier);
  if (!lock) return std::unexpected(lock.error());
  // Under the lock: a second daemon for the domain touches nothing.
  const DaemonOptions options = placeMount(given);
  std::unique_ptr<DomainDaemon> daemon(
      new DomainDaemon(UniqueFd(*lock), options, extension, cacheLimit, std::move(retry)));
  if (auto made = prepareCacheFolders(options.domain.identifier); !made) {
    return std::unexpected(made.error());
  }
  if (auto ready = daemon->cache_.prepare(); !ready) return std::unexpected(ready.error());
  auto socketPath = controlSocketPath(options.domain.identifier);
  auto control = ControlServer::start(
      socketPath, [d = daemon.get()](const std::string& request) { return d->handle(request); });
  if (!control) return std::unexpected(control.error());
  auto mount = FuseMount::mount(options.mountpoint, daemon->filesystem_,
                                "lumora:" + options.domain.identifier, options.shownAt);
  if (!mount) return std::unexpected(mount.error());
  daemon->mount_ = std::move(*mount);
  daemon->control_ = std::move(*control);
  daemon->ready_ = true;
  std::error_code ec;
  fs::remove(unmountedMarkerPath(options.domain.identifier), ec);
  daemon->keeper_.start();
  return daemon;
}

DomainDaemon::~DomainDaemon() {
  // A control request waiting for the service (a signal) ends now, also
  // when the mount ended from outside rather than through stop().
  filesystem_.stopWaiting();
  control_.reset();  // no requests while the mount goes away
  mount_.reset();
  // The filesystem and the cache stop after this, and then lock_ goes.
}

int DomainDaemon::run() {
  if (shownAt() == options_.mountpoint) {
    log("serving %s at %s", options_.domain.identifier.c_str(), options_.mountpoint.c_str());
  } else {
    log("serving %s at %s, shown at %s", options_.domain.identifier.c_str(),
        options_.mountpoint.c_str(), shownAt().c_str());
  }
  // The extension's work runs on the shared pool: its threads start now,
  // not in the middle of the first listing.
  (void)sharedExecutorThreadCount();
  int status = mount_->run();
  if (mount_->endedFromOutside()) {
    // Written while the control socket still answers: whoever sees the
    // daemon gone sees the marker too, and does not mount it again.
    auto marker = unmountedMarkerPath(options_.domain.identifier);
    int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) ::close(fd);
    log("%s was unmounted by the user; it stays so until the next connect",
        options_.mountpoint.c_str());
    (void)sd_notify(0, "STOPPING=1\nSTATUS=Unmounted by the user");
  } else {
    log("unmounted %s", options_.mountpoint.c_str());
  }
  return status;
}

void DomainDaemon::stop() {
  // Requests stuck on a service that does not answer end now, so that the
  // session loop, and the process, can.
  filesystem_.stopWaiting();
  mount_->stop();
}

std::string DomainDaemon::handle(const std::string& line) {
  if (!ready_) return "error the domain is not mounted yet";
  ControlRequest request = parseControlRequest(line);
  switch (request.kind) {
    case ControlRequest::Kind::status:
      // The process first, for the domain manager; the mount point last,
      // since it may hold spaces.
      return "ok mounted " + std::to_string(::getpid()) +
             (filesystem_.serviceAway() ? " offline " : " online ") + options_.mountpoint.string();
    case ControlRequest::Kind::remove:
      stop();
      return "ok";
    case ControlRequest::Kind::signal: {
      auto signalled = filesystem_.signal(request.container);
      keeper_.wake();  // what is kept may have changed, or the service be back
      if (!signalled) return "error " + signalled.error().description;
      return "ok";
    }
    case ControlRequest::Kind::keep:
    case ControlRequest::Kind::free: {
      auto path = domainPath(request.path);
      if (!path) return "error it is not in " + options_.mountpoint.string();
      bool keep = request.kind == ControlRequest::Kind::keep;
      auto done = keep ? keeper_.keep(*path) : keeper_.free(*path);
      if (!done) return "error " + done.error().description;
      return "ok";
    }
    case ControlRequest::Kind::report:
      return report(request.path);
    case ControlRequest::Kind::invalid:
      break;
  }
  return "error " + request.problem;
}

std::optional<std::string> DomainDaemon::domainPath(const std::string& path) const {
  fs::path given(path);
  if (!given.is_absolute()) return std::nullopt;
  // Named under the mount point or under the place users see it.
  fs::path relative = given.lexically_normal().lexically_relative(options_.mountpoint);
  if (relative.empty() || *relative.begin() == "..") {
    relative = given.lexically_normal().lexically_relative(shownAt());
  }
  if (relative.empty() || *relative.begin() == "..") return std::nullopt;
  std::string text = relative.generic_string();
  if (text == ".") return std::string();
  while (text.ends_with('/')) text.pop_back();
  return text;
}

std::string DomainDaemon::report(const std::string& path) {
  using nlohmann::json;
  auto keepJson = [](const Keeper::Progress& progress) {
    return json{{"path", progress.path},
                {"folder", progress.folder},
                {"stage", stageName(progress.stage)},
                {"bytes", progress.bytes},
                {"present", progress.present},
                {"problem", progress.problem}};
  };
  auto& cache = filesystem_.cache();
  json answer{{"domain", options_.domain.identifier},
              {"mountpoint", options_.mountpoint.string()},
              {"shown", shownAt().string()},
              {"online", !filesystem_.serviceAway()},
              {"used", cache.bytesUsed()},
              {"limit", cache.limit()},
              {"kept", cache.keptBytes()}};
  if (path.empty()) {
    answer["keeps"] = json::array();
    for (const auto& progress : keeper_.progress()) answer["keeps"].push_back(keepJson(progress));
  } else {
    auto relative = domainPath(path);
    if (!relative) return "error it is not in " + options_.mountpoint.string();
    auto node = keeper_.resolve(*relative);
    if (!node) return "error " + node.error().description;
    json item{{"path", *relative},
              {"folder", node->isDirectory},
              {"bytes", std::max<int64_t>(node->size, 0)}};
    if (!node->isDirectory) {
      auto state = filesystem_.extendedAttribute(node->inode, kStateAttribute);
      item["state"] = state ? *state : "cloud";
    }
    if (auto keep = keeper_.progressOf(*relative)) item["keep"] = keepJson(*keep);
    answer["item"] = item;
  }
  return "ok " + answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

void DomainDaemon::reloadSettings() {
  uint64_t limit = cacheSizeSetting(cacheSizeFlag_, contentCacheFolder(options_.domain.identifier));
  log("the cache's limit is %llu bytes", static_cast<unsigned long long>(limit));
  filesystem_.cache().setLimit(limit);
}

namespace {

std::atomic<bool> signalThreadDone{false};

// Signals are taken by one thread with sigwait, so no handler runs inside
// libfuse or the extension.
void watchSignals(const sigset_t& set, DomainDaemon& daemon) {
  timespec tick{0, 100'000'000};
  while (!signalThreadDone.load()) {
    int signal = ::sigtimedwait(&set, nullptr, &tick);
    if (signal == SIGHUP) {
      daemon.reloadSettings();
    } else if (signal == SIGTERM || signal == SIGINT) {
      log("stopping on signal %d", signal);
      (void)sd_notify(0, "STOPPING=1");
      daemon.stop();
    }
  }
}

void report(int fd, const std::string& line) {
  if (fd < 0) return;
  std::string text = line + "\n";
  (void)!::write(fd, text.data(), text.size());
}

// Forks; the parent waits for the child's word on a pipe and exits with it,
// so that whoever started us learns whether the mount succeeded.
int detach(int& reportFd) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child > 0) {
    ::close(pipeFds[1]);
    std::string word;
    char buffer[512];
    ssize_t got = 0;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) word.append(buffer, static_cast<size_t>(got));
    }
    if (word.starts_with("ok")) ::_exit(0);
    if (word.starts_with("served ")) {
      std::fputs(word.substr(7).c_str(), stderr);
      ::_exit(kExitAlreadyServed);
    }
    if (word.empty()) word = "The daemon stopped before it mounted the domain\n";
    std::fputs(word.c_str(), stderr);
    ::_exit(1);
  }
  ::close(pipeFds[0]);
  ::setsid();
  reportFd = pipeFds[1];
  return 0;
}

void redirectToLog(const std::string& domain) {
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  // Its folder private from the start, as prepareCacheFolders leaves it.
  fs::path folder = paths::cacheHome() / "lumora";
  std::error_code ec;
  fs::create_directories(folder.parent_path(), ec);
  if (!makePrivateFolder(folder)) return;
  (void)logToFile(folder / (domain + ".log"), kLogFileLimit);
}

}  // namespace

int daemonMain(int argc, char** argv, const ExtensionFactory& makeExtension) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto cacheSize = takeCacheSizeFlag(arguments);
  if (!cacheSize) {
    std::fprintf(stderr, "%s\n", cacheSize.error().description.c_str());
    return 2;
  }
  auto options = parseCommandLine(arguments);
  if (!options) {
    std::fprintf(stderr, "%s\n", options.error().description.c_str());
    return 2;
  }
  // The session's soft limit on descriptors (often 1,024) is for programs
  // that select(); this one does not, so it takes the hard limit, as the
  // service manager advises. Its descriptors stay bounded all the same.
  if (struct rlimit files{};
      ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &files);
  }
  // The daemon's many threads mostly wait (on the kernel, the service);
  // an allocator arena for each would keep freed memory in every one of
  // them. Two hold a big folder's listing with far less left over.
  ::mallopt(M_ARENA_MAX, 2);
  // Only a daemon the service manager runs itself tells it how it goes.
  if (!options->foreground) ::unsetenv("NOTIFY_SOCKET");
  int reportFd = -1;
  if (!options->foreground && detach(reportFd) != 0) {
    std::fprintf(stderr, "Cannot detach: %s\n", std::strerror(errno));
    return 1;
  }
  // Detached, it logs to its file from now on, starting up included (files
  // moved out of the mount point's way are told there); the outcome of the
  // start goes to the waiting parent through the pipe.
  if (reportFd >= 0) redirectToLog(options->domain.identifier);
  // Before any thread exists, so that every thread inherits the mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // Downloads land beside the cache, so that taking one over is a rename.
  // Only named here: the folder is cleared once the domain's lock is held.
  auto extension = makeExtension(options->domain, downloadsFolder(options->domain.identifier));
  if (!extension) {
    std::string why = "The extension could not be created";
    if (reportFd >= 0) report(reportFd, "error " + why);
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  auto daemon = DomainDaemon::start(
      *options, *extension,
      cacheSizeSetting(*cacheSize, contentCacheFolder(options->domain.identifier)));
  if (!daemon) {
    bool served = daemon.error().code == EALREADY;
    if (reportFd >= 0) {
      report(reportFd, (served ? "served " : "") + daemon.error().description);
    } else {
      std::fprintf(stderr, "%s\n", daemon.error().description.c_str());
    }
    // The service manager shows it as the unit's status, the reason its
    // start failed.
    (void)sd_notifyf(0, "STATUS=%s", daemon.error().description.c_str());
    extension->invalidate();
    return served ? kExitAlreadyServed : 1;
  }
  (*daemon)->setCacheSizeFlag(*cacheSize);
  if (reportFd >= 0) {
    report(reportFd, "ok");
    ::close(reportFd);
  }
  std::thread signals([&] { watchSignals(set, **daemon); });
  // Ready once the mount answers: a stat waits for the loop that run()
  // starts. Under no service manager this notifies nothing.
  std::thread ready([mountpoint = (*daemon)->mountpoint(), shownAt = (*daemon)->shownAt()] {
    struct stat st {};
    if (std::getenv("NOTIFY_SOCKET") && ::stat(mountpoint.c_str(), &st) == 0) {
      (void)sd_notifyf(0, "READY=1\nSTATUS=Serving %s", shownAt.c_str());
    }
  });
  int status = (*daemon)->run();
  ready.join();
  signalThreadDone = true;
  signals.join();
  daemon->reset();
  extension->invalidate();
  return status == 0 ? 0 : 1;
}

}  // namespace lumora::fuse
