#include "platform/foundation/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace lumora {

namespace {

// Owns posix_spawn's file actions and attributes for one call.
class SpawnSetup {
 public:
  SpawnSetup() {
    actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
    attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
    if (attributesReady_) posix_spawnattr_destroy(&attributes_);
  }
  bool ready() const { return actionsReady_ && attributesReady_; }

  // dup2 clears close-on-exec on the copy, so the child keeps exactly its
  // standard streams; the originals close at exec.
  void stream(int target, const ChildStream& stream) {
    if (stream.kind == ChildStream::Kind::null) {
      posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                       target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    } else if (stream.kind == ChildStream::Kind::descriptor) {
      posix_spawn_file_actions_adddup2(&actions_, stream.fd, target);
    }
  }

  void group(ChildGroup group) {
    short flags = POSIX_SPAWN_SETSIGMASK;
    if (group == ChildGroup::newGroup) {
      flags |= POSIX_SPAWN_SETPGROUP;
      posix_spawnattr_setpgroup(&attributes_, 0);
    } else if (group == ChildGroup::newSession) {
      flags |= POSIX_SPAWN_SETSID;
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setflags(&attributes_, flags);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool actionsReady_ = false;
  bool attributesReady_ = false;
};

std::vector<char*> pointers(const std::vector<std::string>& words) {
  std::vector<char*> out;
  out.reserve(words.size() + 1);
  for (const auto& word : words) out.push_back(const_cast<char*>(word.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

Result<pid_t> spawnProcess(const SpawnRequest& request) {
  if (request.argv.empty()) return std::unexpected(posixError(EINVAL, ""));
  SpawnSetup setup;
  if (!setup.ready()) return std::unexpected(posixError(ENOMEM, ""));
  setup.stream(STDIN_FILENO, request.input);
  setup.stream(STDOUT_FILENO, request.output);
  setup.stream(STDERR_FILENO, request.error);
  setup.group(request.group);
  std::vector<char*> argv = pointers(request.argv);
  std::vector<char*> envp;
  if (request.environment != nullptr) envp = pointers(*request.environment);
  char* const* environment = request.environment != nullptr ? envp.data() : environ;
  pid_t child = -1;
  const int spawned = request.searchPath
                          ? ::posix_spawnp(&child, argv[0], setup.actions(), setup.attributes(),
                                           argv.data(), environment)
                          : ::posix_spawn(&child, argv[0], setup.actions(), setup.attributes(),
                                          argv.data(), environment);
  if (spawned != 0) return std::unexpected(posixError(spawned, ""));
  return child;
}

Result<int> waitForExit(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(posixError(errno, ""));
  }
  return status;
}

}  // namespace lumora
