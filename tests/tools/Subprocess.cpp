#include "tests/tools/Subprocess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "platform/foundation/Spawn.h"

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
  auto outPipe = makePipe();
  auto errPipe = makePipe();
  if (!outPipe || !errPipe) return;
  const std::vector<std::string> environment = mergedEnvironment(env);
  SpawnRequest request;
  request.argv = argv;
  request.searchPath = true;
  request.environment = &environment;
  request.input = ChildStream::null();
  request.output = ChildStream::from(outPipe->write.get());
  request.error = ChildStream::from(errPipe->write.get());
  // Each child leads its own process group, so a signal reaches its children too.
  request.group = ChildGroup::newGroup;
  if (auto pid = spawnProcess(request)) pid_ = *pid;
  out_ = std::move(outPipe->read);
  err_ = std::move(errPipe->read);
}

Child::~Child() {
  if (pid_ > 0 && !waited_) {
    ::kill(-pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

bool Child::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
  int open = out_.valid() + err_.valid();
  if (open == 0) return false;
  if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return true;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? lineBuffer_ : errBuffer_).append(buffer, static_cast<std::size_t>(n));
    } else {
      (i == 0 ? out_ : err_).reset();
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
    if (left.count() <= 0 || !out_.valid()) return std::nullopt;
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
  while (out_.valid() || err_.valid()) {
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
