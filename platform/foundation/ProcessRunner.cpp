#include "platform/foundation/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char** environ;

namespace lumora {

namespace {

// Owns the descriptors of one pipe so every early return closes them.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
};

// Owns posix_spawn's file actions.
struct FileActions {
  posix_spawn_file_actions_t actions{};
  bool ready = false;
  FileActions() { ready = posix_spawn_file_actions_init(&actions) == 0; }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() {
    if (ready) posix_spawn_file_actions_destroy(&actions);
  }
};

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
  Pipe pipe;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(posixError(errno, ""));
  pipe.read = fds[0];
  pipe.write = fds[1];

  FileActions files;
  if (!files.ready) return std::unexpected(posixError(ENOMEM, ""));
  // dup2 clears close-on-exec on the copies, so only 1 (and 2) stay open in
  // the child; the originals close at exec.
  posix_spawn_file_actions_adddup2(&files.actions, pipe.write, STDOUT_FILENO);
  if (capture == OutputCapture::stdoutAndStderr) {
    posix_spawn_file_actions_adddup2(&files.actions, pipe.write, STDERR_FILENO);
  }

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::vector<char*> envp;
  if (environment != nullptr) {
    envp.reserve(environment->size() + 1);
    for (const auto& entry : *environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }

  pid_t child = -1;
  int spawned = ::posix_spawn(&child, executable.c_str(), &files.actions, nullptr, argv.data(),
                              environment != nullptr ? envp.data() : environ);
  if (spawned != 0) return std::unexpected(posixError(spawned, ""));

  // Our copy of the write end must go, or the read below never sees EOF.
  ::close(pipe.write);
  pipe.write = -1;

  ProcessOutput result;
  drain(pipe.read, result.bytes);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(posixError(errno, ""));
  }
  result.waitStatus = status;
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
