#include "platform/fileprovider/linux/LinuxDomainManager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/ControlSocket.h"
#include "platform/fileprovider/linux/MountTable.h"
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

fs::path mountpointFor(const Domain& domain) {
  return paths::homeDirectory() / domain.displayName;
}

// Runs the daemon in its own session; it detaches once mounted, so its exit
// status and last line of standard error are the outcome.
std::optional<Error> runDaemon(const fs::path& executable, const Domain& domain) {
  auto pipe = makePipe();
  if (!pipe) return daemonError(pipe.error().code, pipe.error().description);
  const std::string program = executable.string();
  SpawnRequest request;
  request.argv = {program, "--domain", domain.identifier, "--display-name", domain.displayName};
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
  for (;;) {
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

}  // namespace

LinuxDomainManager::LinuxDomainManager(std::optional<fs::path> daemonExecutable,
                                       milliseconds stopTimeout)
    : daemonExecutable_(std::move(daemonExecutable)), stopTimeout_(stopTimeout) {}

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

std::optional<Error> LinuxDomainManager::addDomainNow(const Domain& domain) const {
  if (daemonProcess(domain)) return std::nullopt;
  // A daemon that died (SIGKILL, a crash) leaves its mount behind, and every
  // access to it fails with ENOTCONN until it is detached.
  fs::path mountpoint = mountpointFor(domain);
  // Only such a dead mount is cleared: anything else mounted there stays, and
  // the daemon reports the mount point as in use.
  struct stat st {};
  bool dead = ::stat(mountpoint.c_str(), &st) != 0 && errno == ENOTCONN;
  if (dead && !fuse::detachMount(mountpoint)) {
    return daemonError(EBUSY, "The mount point " + mountpoint.string() + " is in use");
  }
  std::error_code ec;
  fs::path socket = socketFor(domain);
  if (fs::exists(fs::symlink_status(socket, ec))) fs::remove(socket, ec);
  return runDaemon(daemonExecutable(), domain);
}

std::optional<Error> LinuxDomainManager::removeDomainNow(const Domain& domain) const {
  auto pid = daemonProcess(domain);
  if (!pid) return fileProviderError(kErrorNoSuchItem);
  auto answer = fuse::sendControlRequest(socketFor(domain), "remove", kRequestTimeout);
  if (!answer) return answer.error();
  auto deadline = steady_clock::now() + stopTimeout_;
  while (processAlive(*pid)) {
    if (steady_clock::now() >= deadline) {
      return daemonError(ETIMEDOUT, "The daemon did not stop in time");
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return std::nullopt;
}

void LinuxDomainManager::addDomain(const Domain& domain, ErrorCompletion completion) {
  runDetached([self = *this, domain, completion = std::move(completion)] {
    completion(self.addDomainNow(domain));
  });
}

void LinuxDomainManager::removeDomain(const Domain& domain, ErrorCompletion completion) {
  runDetached([self = *this, domain, completion = std::move(completion)] {
    completion(self.removeDomainNow(domain));
  });
}

std::unique_ptr<DomainHandle> LinuxDomainManager::managerForDomain(const Domain& domain) {
  if (!daemonProcess(domain)) return nullptr;
  return std::make_unique<LinuxDomainHandle>(domain);
}

}  // namespace lumora::fileprovider
