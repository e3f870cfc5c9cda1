#include "platform/fileprovider/linux/control/LinuxDomainManager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/control/ControlSocket.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/foundation/Executor.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Spawn.h"
#include "platform/foundation/UniqueFd.h"

extern char** environ;

namespace lumora::fileprovider {

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr milliseconds kRequestTimeout{5000};
constexpr const char* kDaemonName = "lumora-fileprovider";

Error daemonError(long code, std::string description) {
  return Error{kDomainDaemonErrorDomain, code, std::move(description)};
}

fs::path socketFor(const Domain& domain) {
  return fuse::controlSocketPath(domain.identifier);
}

// Both become file names: the link in the home folder, the mount point.
bool usableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// Where the domain mounts and where users see it.
struct Place {
  fs::path mountpoint;
  fs::path shownAt;
};

// The daemon makes the link (an empty folder of an earlier version's gives
// way to it) or, when something of the user's is there, mounts there itself.
Place placeFor(const Domain& domain) {
  return {LinuxDomainManager::hiddenMountpoint(domain), LinuxDomainManager::shownPath(domain)};
}

// The link the daemon made, and the empty mount point it leads to; nothing
// else of the user's.
void removePlace(const Domain& domain) {
  const fs::path shown = LinuxDomainManager::shownPath(domain);
  const fs::path hidden = LinuxDomainManager::hiddenMountpoint(domain);
  std::error_code ec;
  if (fs::is_symlink(shown, ec) && fs::read_symlink(shown, ec) == hidden) fs::remove(shown, ec);
  ::rmdir(hidden.c_str());
}

// Runs the daemon in its own session; it detaches once mounted, so its exit
// status and last line of standard error are the outcome. A daemon that has
// said nothing after `startTimeout`, or when `stopFd` becomes readable (the
// manager is ending), is killed: the caller is never held longer.
std::optional<Error> runDaemon(const fs::path& executable, const Domain& domain, const Place& place,
                               milliseconds startTimeout, int stopFd) {
  auto pipe = makePipe();
  if (!pipe) return daemonError(pipe.error().code, pipe.error().description);
  const std::string program = executable.string();
  SpawnRequest request;
  request.argv = {program,          "--domain",         domain.identifier,
                  "--display-name", domain.displayName, "--mountpoint",
                  place.mountpoint, "--shown-at",       place.shownAt};
  request.input = ChildStream::null();
  request.output = ChildStream::null();
  request.error = ChildStream::from(pipe->write.get());
  request.group = ChildGroup::newSession;
  auto child = spawnProcess(request);
  pipe->write.reset();
  if (!child) {
    const int code = static_cast<int>(child.error().code);
    return daemonError(code, "Cannot start " + program + ": " + std::strerror(code));
  }
  std::string output;
  char buffer[1024];
  const auto deadline = steady_clock::now() + startTimeout;
  for (;;) {
    pollfd ready[2] = {{pipe->read.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    int count = left > 0 ? ::poll(ready, 2, static_cast<int>(std::min<long long>(left, 60000))) : 0;
    if (count < 0 && errno == EINTR) continue;
    if (count == 0 && steady_clock::now() < deadline) continue;
    if (count == 0 || ready[0].revents == 0) {
      // Its first process and what it started in its session; a daemon that
      // detached meanwhile is in a session of its own and stays.
      ::kill(-*child, SIGKILL);
      (void)waitForExit(*child);
      return daemonError(ETIMEDOUT, count == 0 ? "The daemon did not start in time"
                                               : "The domain manager is ending");
    }
    ssize_t got = ::read(pipe->read.get(), buffer, sizeof buffer);
    if (got > 0) {
      if (output.size() < 65536) output.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  pipe->read.reset();
  auto waited = waitForExit(*child);
  if (!waited) return daemonError(waited.error().code, waited.error().description);
  const int status = *waited;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
  // The daemon's own one-line reason: its last non-empty line.
  std::string reason;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) reason = line;
  }
  if (reason.empty()) {
    reason = WIFSIGNALED(status)
                 ? "The daemon was killed by signal " + std::to_string(WTERMSIG(status))
                 : "The daemon failed to start";
  }
  return daemonError(WIFEXITED(status) ? WEXITSTATUS(status) : -1, reason);
}

// A zombie has stopped serving; whoever reaps it may be slow about it.
bool processAlive(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

class LinuxDomainHandle final : public DomainHandle {
 public:
  explicit LinuxDomainHandle(Domain domain) : domain_(std::move(domain)) {}
  void signalEnumerator(const ItemIdentifier& container, ErrorCompletion completion) override {
    runDetached([domain = domain_, container, completion = std::move(completion)] {
      auto answer =
          fuse::sendControlRequest(socketFor(domain), "signal " + container, kRequestTimeout);
      if (!answer) return completion(answer.error());
      if (!answer->starts_with("ok")) {
        return completion(daemonError(EIO, answer->substr(std::min<size_t>(6, answer->size()))));
      }
      completion(std::nullopt);
    });
  }

 private:
  const Domain domain_;
};

// Checked before the daemon makes a folder or a link of them.
std::optional<Error> nameProblem(const Domain& domain) {
  if (usableName(domain.identifier) && usableName(domain.displayName)) return std::nullopt;
  return daemonError(EINVAL, "The domain's name " + domain.displayName + " cannot name a folder");
}

// A daemon that died without its mount going (one from before mounts went
// with their daemon) leaves a mount where every access fails with ENOTCONN
// until it is detached.
std::optional<Error> checkedPlace(const Domain& domain) {
  if (auto problem = nameProblem(domain)) return problem;
  // Only such a dead mount is cleared: anything else mounted there stays, and
  // the daemon reports the mount point as in use. The hidden one first: the
  // link leads to it.
  for (const fs::path& mountpoint :
       {LinuxDomainManager::hiddenMountpoint(domain), LinuxDomainManager::shownPath(domain)}) {
    struct stat st {};
    bool dead = ::stat(mountpoint.c_str(), &st) != 0 && errno == ENOTCONN;
    if (dead && !fuse::detachMount(mountpoint)) {
      return daemonError(EBUSY, "The mount point " + mountpoint.string() + " is in use");
    }
  }
  return std::nullopt;
}

std::optional<Error> addNow(const fs::path& executable, const Domain& domain,
                            milliseconds startTimeout, int stopFd) {
  if (LinuxDomainManager::daemonAlive(domain)) return std::nullopt;
  if (auto error = checkedPlace(domain)) return error;
  auto error = runDaemon(executable, domain, placeFor(domain), startTimeout, stopFd);
  // Another start won the race for the domain: it is served.
  if (error && error->domain == kDomainDaemonErrorDomain &&
      error->code == fuse::kExitAlreadyServed) {
    return std::nullopt;
  }
  return error;
}

// The domain's item store (it holds the names of the user's files, see
// ItemStore::fileFor) and its content cache go with it. Only under the
// domain's lock, as a daemon takes it: one that is starting keeps them.
void removeDomainFiles(const Domain& domain) {
  fs::path cacheRoot = paths::cacheHome() / "lumora";
  fs::path lockFile = cacheRoot / (domain.identifier + ".lock");
  UniqueFd lock(::open(lockFile.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (lock.get() >= 0 && ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return;
  std::error_code ec;
  fs::remove_all(paths::stateHome() / "lumora" / domain.identifier, ec);
  fs::remove_all(cacheRoot / domain.identifier, ec);
  fs::remove(fuse::unmountedMarkerPath(domain.identifier), ec);
  removePlace(domain);
}

std::optional<Error> removeNow(const Domain& domain, milliseconds stopTimeout) {
  if (!LinuxDomainManager::daemonAlive(domain)) {
    removeDomainFiles(domain);
    return fileProviderError(kErrorNoSuchItem);
  }
  auto pid = LinuxDomainManager::daemonProcess(domain);
  auto answer = fuse::sendControlRequest(socketFor(domain), "remove", kRequestTimeout);
  if (!answer) return answer.error();
  if (!answer->starts_with("ok")) {
    return daemonError(EBUSY, answer->substr(std::min<size_t>(6, answer->size())));
  }
  auto deadline = steady_clock::now() + stopTimeout;
  while (pid ? processAlive(*pid) : LinuxDomainManager::daemonAlive(domain)) {
    if (steady_clock::now() >= deadline) {
      return daemonError(ETIMEDOUT, "The daemon did not stop in time");
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  removeDomainFiles(domain);
  return std::nullopt;
}

// Holds the caller for `wait`, or less once `stopFd` is readable: false then.
bool pause(milliseconds wait, int stopFd) {
  pollfd stop{stopFd, POLLIN, 0};
  return ::poll(&stop, 1, static_cast<int>(wait.count())) == 0;
}

// A systemd environment file's value: double-quoted, so that spaces stay.
std::string environmentValue(const std::string& value) {
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::optional<Error> writeUnitEnvironment(const Domain& domain, const Place& place) {
  fs::path file = LinuxDomainManager::unitEnvironmentFile(domain);
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  fs::path partial = file;
  partial += ".partial";
  {
    std::ofstream out(partial, std::ios::trunc);
    out << "LUMORA_DISPLAY_NAME=" << environmentValue(domain.displayName) << "\n"
        << "LUMORA_MOUNTPOINT=" << environmentValue(place.mountpoint.string()) << "\n"
        << "LUMORA_SHOWN_AT=" << environmentValue(place.shownAt.string()) << "\n";
    if (!out.flush()) return daemonError(EIO, "Cannot write " + partial.string());
  }
  fs::rename(partial, file, ec);
  if (ec) return daemonError(ec.value(), "Cannot write " + file.string());
  return std::nullopt;
}

// Enables and starts the domain's instance, then waits for the daemon's
// READY (the unit active) or its failure, whose reason the daemon gave as
// its status.
std::optional<Error> addUnit(UserUnits& units, const Domain& domain, milliseconds startTimeout,
                             int stopFd) {
  if (auto error = nameProblem(domain)) return error;
  if (auto error = writeUnitEnvironment(domain, placeFor(domain))) return error;
  const std::string unit = daemonUnitFor(domain.identifier);
  if (auto error = units.enableAndStart(unit)) return daemonError(error->code, error->description);
  const auto deadline = steady_clock::now() + startTimeout;
  for (;;) {
    UnitState state = units.state(unit);
    if (state.active == "active") return std::nullopt;
    if (state.active == "failed" || state.sub == "auto-restart") {
      return daemonError(EIO, state.status.empty() ? "The daemon failed to start" : state.status);
    }
    if (steady_clock::now() >= deadline) {
      return daemonError(ETIMEDOUT, "The daemon did not start in time");
    }
    if (!pause(milliseconds(20), stopFd)) {
      return daemonError(ETIMEDOUT, "The domain manager is ending");
    }
  }
}

std::optional<Error> removeUnit(UserUnits& units, const Domain& domain, milliseconds stopTimeout) {
  const std::string unit = daemonUnitFor(domain.identifier);
  bool served = units.state(unit).active == "active" || LinuxDomainManager::daemonAlive(domain);
  if (auto error = units.stopAndDisable(unit)) return daemonError(error->code, error->description);
  // The stop is a job of the manager's: the daemon unmounts, then exits.
  const auto deadline = steady_clock::now() + stopTimeout;
  for (;;) {
    auto active = units.state(unit).active;
    if (active != "active" && active != "deactivating" && !LinuxDomainManager::daemonAlive(domain))
      break;
    if (steady_clock::now() >= deadline) {
      return daemonError(ETIMEDOUT, "The daemon did not stop in time");
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::error_code ec;
  fs::remove(LinuxDomainManager::unitEnvironmentFile(domain), ec);
  removeDomainFiles(domain);
  if (!served) return fileProviderError(kErrorNoSuchItem);
  return std::nullopt;
}

}  // namespace

// The domains added through one manager, checked every interval on a thread
// of its own; one that has no daemon any more is added again.
class LinuxDomainManager::Watch {
 public:
  Watch(milliseconds interval, milliseconds startTimeout)
      : interval_(interval), startTimeout_(startTimeout) {}
  ~Watch() { stop(); }

  // Readable once the watch is stopped: starts under way end then.
  int stopFd() const { return stopFd_.get(); }
  milliseconds startTimeout() const { return startTimeout_; }

  void watch(const fs::path& executable, const Domain& domain) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    domains_[domain.identifier] = Watched{executable, domain, {}, milliseconds(0)};
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  // Once it returns, no restart of the domain is under way or to come.
  void unwatch(const Domain& domain) {
    std::lock_guard restarting(restart_);
    std::lock_guard lock(mutex_);
    domains_.erase(domain.identifier);
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    uint64_t one = 1;
    (void)!::write(stopFd_.get(), &one, sizeof one);
    wake_.notify_all();
    std::lock_guard joining(joining_);
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct Watched {
    fs::path executable;
    Domain domain;
    // After a start that failed (no token, mount point busy), the next
    // waits longer, up to a minute: no process started every second.
    steady_clock::time_point nextTry{};
    milliseconds backoff{0};
  };
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, interval_, [this] { return stopping_; });
      if (stopping_) break;
      auto watched = domains_;
      lock.unlock();
      for (const auto& [identifier, entry] : watched) {
        if (steady_clock::now() < entry.nextTry) continue;
        std::lock_guard restarting(restart_);
        {
          std::lock_guard still(mutex_);
          if (stopping_ || !domains_.contains(identifier)) continue;
        }
        if (daemonAlive(entry.domain)) continue;
        // Unmounted by the user, not crashed: left so until the next connect.
        if (fs::exists(fuse::unmountedMarkerPath(identifier))) continue;
        bool failed =
            addNow(entry.executable, entry.domain, startTimeout_, stopFd_.get()).has_value();
        std::lock_guard still(mutex_);
        auto watchedNow = domains_.find(identifier);
        if (watchedNow == domains_.end()) continue;
        Watched& now = watchedNow->second;
        now.backoff = failed ? std::min(milliseconds(60000), std::max(interval_, 2 * now.backoff))
                             : milliseconds(0);
        now.nextTry = steady_clock::now() + now.backoff;
      }
      lock.lock();
    }
  }

  const milliseconds interval_;
  const milliseconds startTimeout_;
  const UniqueFd stopFd_{::eventfd(0, EFD_CLOEXEC)};  // written once, by stop()
  std::mutex restart_;  // held while a domain is added again; before mutex_
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, Watched> domains_;  // protected by mutex_
  bool stopping_ = false;                   // protected by mutex_
  std::mutex joining_;
  std::thread thread_;  // last: it uses everything above
};

LinuxDomainManager::LinuxDomainManager(std::optional<fs::path> daemonExecutable,
                                       milliseconds stopTimeout, milliseconds watchInterval,
                                       milliseconds startTimeout, std::shared_ptr<UserUnits> units)
    : daemonExecutable_(std::move(daemonExecutable)),
      stopTimeout_(stopTimeout),
      startTimeout_(startTimeout),
      units_(std::move(units)),
      watch_(std::make_shared<Watch>(watchInterval, startTimeout)) {}

LinuxDomainManager::~LinuxDomainManager() {
  watch_->stop();
}

fs::path LinuxDomainManager::daemonExecutable() const {
  if (daemonExecutable_) return *daemonExecutable_;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    fs::path beside = self.parent_path() / kDaemonName;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
  }
  if (const char* path = std::getenv("PATH")) {
    std::istringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
      if (dir.empty()) continue;
      fs::path candidate = fs::path(dir) / kDaemonName;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return kDaemonName;
}

std::optional<pid_t> LinuxDomainManager::daemonProcess(const Domain& domain) {
  auto answer = fuse::sendControlRequest(socketFor(domain), "status", milliseconds(2000));
  if (!answer || !answer->starts_with("ok mounted ")) return std::nullopt;
  std::istringstream fields(answer->substr(11));
  long pid = 0;
  if (!(fields >> pid) || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

bool LinuxDomainManager::daemonAlive(const Domain& domain) {
  return fuse::controlSocketAccepts(socketFor(domain));
}

fs::path LinuxDomainManager::hiddenMountpoint(const Domain& domain) {
  return paths::dataHome() / "lumora" / ".mounts" / domain.identifier;
}

fs::path LinuxDomainManager::shownPath(const Domain& domain) {
  return paths::homeDirectory() / domain.displayName;
}

fs::path LinuxDomainManager::unitEnvironmentFile(const Domain& domain) {
  return paths::configHome() / "lumora" / "domains" / (domain.identifier + ".env");
}

std::optional<Error> LinuxDomainManager::addDomainNow(const Domain& domain) const {
  if (units_) return addUnit(*units_, domain, startTimeout_, watch_->stopFd());
  return addNow(daemonExecutable(), domain, startTimeout_, watch_->stopFd());
}

std::optional<Error> LinuxDomainManager::removeDomainNow(const Domain& domain) const {
  watch_->unwatch(domain);
  if (units_) return removeUnit(*units_, domain, stopTimeout_);
  return removeNow(domain, stopTimeout_);
}

void LinuxDomainManager::addDomain(const Domain& domain, ErrorCompletion completion) {
  runDetached([watch = watch_, units = units_, executable = daemonExecutable(), domain,
               completion = std::move(completion)] {
    // The service manager restarts its own units: no watch of ours then.
    if (units) return completion(addUnit(*units, domain, watch->startTimeout(), watch->stopFd()));
    auto error = addNow(executable, domain, watch->startTimeout(), watch->stopFd());
    if (!error) watch->watch(executable, domain);
    completion(std::move(error));
  });
}

void LinuxDomainManager::removeDomain(const Domain& domain, ErrorCompletion completion) {
  runDetached([watch = watch_, units = units_, stopTimeout = stopTimeout_, domain,
               completion = std::move(completion)] {
    watch->unwatch(domain);
    completion(units ? removeUnit(*units, domain, stopTimeout) : removeNow(domain, stopTimeout));
  });
}

std::unique_ptr<DomainHandle> LinuxDomainManager::managerForDomain(const Domain& domain) {
  // Under the service manager, the unit's state says whether it serves.
  bool alive = units_ ? units_->state(daemonUnitFor(domain.identifier)).active == "active"
                      : daemonAlive(domain);
  if (!alive) return nullptr;
  return std::make_unique<LinuxDomainHandle>(domain);
}

}  // namespace lumora::fileprovider
