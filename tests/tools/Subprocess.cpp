#include "tests/tools/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

extern char** environ;

namespace lumora::testing {
namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string item = *e;
    vars[item.substr(0, item.find('='))] = item;
  }
  for (const auto& item : extra) vars[item.substr(0, item.find('='))] = item;
  std::vector<std::string> out;
  out.reserve(vars.size());
  for (auto& [name, item] : vars) out.push_back(item);
  return out;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // Each child leads its own process group, so a signal reaches its children too.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  std::vector<std::string> envItems = mergedEnvironment(env);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : envItems) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
}

Child::~Child() {
  if (pid_ > 0 && !waited_) {
    ::kill(-pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
}

bool Child::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  int open = (out_ >= 0) + (err_ >= 0);
  if (open == 0) return false;
  if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return true;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? lineBuffer_ : errBuffer_).append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(fds[i].fd);
      (i == 0 ? out_ : err_) = -1;
    }
  }
  return true;
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (auto nl = lineBuffer_.find('\n'); nl != std::string::npos) {
      std::string line = lineBuffer_.substr(0, nl);
      outBuffer_ += lineBuffer_.substr(0, nl + 1);
      lineBuffer_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) return std::nullopt;
    pump(std::min(left, std::chrono::milliseconds(100)));
  }
}

void Child::signal(int sig) {
  if (pid_ > 0 && !waited_) ::kill(-pid_, sig);
}

ProcessResult Child::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  if (pid_ <= 0) return result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  while (out_ >= 0 || err_ >= 0) {
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid_, SIGKILL);
      killed = true;
    }
    pump(std::chrono::milliseconds(100));
  }
  int status = 0;
  if (::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  waited_ = true;
  result.out = outBuffer_ + lineBuffer_;
  result.err = errBuffer_;
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         std::chrono::milliseconds timeout) {
  Child child(argv, env);
  return child.wait(timeout);
}

}  // namespace lumora::testing
