#pragma once
// The one place that starts child processes: posix_spawn with the child's
// standard streams, process group and environment chosen by the caller, and
// an empty signal mask (a thread that blocks signals must not hand that on).

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/foundation/Error.h"

namespace lumora {

// One of the child's standard streams.
struct ChildStream {
  enum class Kind { inherit, null, descriptor };
  Kind kind = Kind::inherit;
  int fd = -1;  // for `descriptor`: copied into the child, still owned by the caller

  static ChildStream inherit() { return {}; }
  static ChildStream null() { return {Kind::null, -1}; }
  static ChildStream from(int fd) { return {Kind::descriptor, fd}; }
};

enum class ChildGroup {
  same,        // this process's group and session
  newGroup,    // leads a process group of its own (a signal to it reaches its children)
  newSession,  // leads a session of its own (outlives this process's terminal)
};

struct SpawnRequest {
  std::vector<std::string> argv;  // argv[0] names the program
  bool searchPath = false;        // look argv[0] up on PATH when it holds no '/'
  // "NAME=value" entries; null: this process's environment.
  const std::vector<std::string>* environment = nullptr;
  ChildStream input;
  ChildStream output;
  ChildStream error;
  ChildGroup group = ChildGroup::same;
};

// The child's process id; a POSIX error (the system's message) when it could
// not be started.
Result<pid_t> spawnProcess(const SpawnRequest& request);

// Waits for `child` to end (EINTR retried) and gives waitpid's status.
Result<int> waitForExit(pid_t child);

}  // namespace lumora
