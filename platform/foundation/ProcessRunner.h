#pragma once
// Starting a program and collecting what it prints: posix_spawn, pipes
// drained with poll while the child runs (output of any length comes back
// whole, the child never blocks on a full pipe), then waitpid.

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

namespace lumora {

enum class OutputCapture {
  // Standard output and standard error share one pipe, interleaved as written.
  stdoutAndStderr,
  // Only standard output is captured; standard error stays inherited.
  stdoutOnly,
};

struct ProcessOutput {
  int waitStatus = 0;  // as reported by waitpid
  std::string bytes;   // everything read from the pipe, undecoded

  // True exactly when the child exited normally with status 0.
  bool succeeded() const;
};

// Runs `executable` with `arguments` (argv[1] onwards; argv[0] is the
// executable itself), standard input inherited, and waits for it to end.
// A launch failure is a POSIX error whose description is the system's
// message for it (strerror); nothing is then waited for. The child gets
// `environment` ("NAME=value" entries) when given, else this process's own.
Result<ProcessOutput> runProcess(const std::string& executable,
                                 const std::vector<std::string>& arguments, OutputCapture capture,
                                 const std::vector<std::string>* environment = nullptr);

// One word for a POSIX shell: wrapped in single quotes, each embedded single
// quote written as '\''. The shell hands it on as exactly `word`.
std::string shellQuote(std::string_view word);

}  // namespace lumora
