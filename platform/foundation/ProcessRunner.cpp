#include "platform/foundation/ProcessRunner.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/foundation/Spawn.h"
#include "platform/foundation/UniqueFd.h"

namespace lumora {

namespace {

// Reads `fd` until end of file, waiting with poll so a signal or a slow
// writer never loses data.
void drain(int fd, std::string& into) {
  std::array<char, 65536> buffer{};
  pollfd watched{fd, POLLIN, 0};
  for (;;) {
    int ready = ::poll(&watched, 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    if (got == 0) return;
    into.append(buffer.data(), static_cast<size_t>(got));
  }
}

}  // namespace

bool ProcessOutput::succeeded() const {
  return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

Result<ProcessOutput> runProcess(const std::string& executable,
                                 const std::vector<std::string>& arguments, OutputCapture capture,
                                 const std::vector<std::string>* environment) {
  auto pipe = makePipe();
  if (!pipe) return std::unexpected(pipe.error());
  SpawnRequest request;
  request.argv.reserve(arguments.size() + 1);
  request.argv.push_back(executable);
  request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
  request.environment = environment;
  request.output = ChildStream::from(pipe->write.get());
  if (capture == OutputCapture::stdoutAndStderr)
    request.error = ChildStream::from(pipe->write.get());
  auto child = spawnProcess(request);
  if (!child) return std::unexpected(child.error());
  // Our copy of the write end must go, or the read below never sees EOF.
  pipe->write.reset();

  ProcessOutput result;
  drain(pipe->read.get(), result.bytes);
  auto status = waitForExit(*child);
  if (!status) return std::unexpected(status.error());
  result.waitStatus = *status;
  return result;
}

std::string shellQuote(std::string_view word) {
  std::string quoted;
  quoted.reserve(word.size() + 2);
  quoted += '\'';
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace lumora
