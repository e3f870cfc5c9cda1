#pragma once
// Real child processes for the tools' tests: spawn with extra environment,
// read standard output line by line, wait with a deadline.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/UniqueFd.h"

namespace lumora::testing {

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal or not waited for
  std::string out;
  std::string err;
};

class Child {
 public:
  // `env` holds NAME=VALUE items added to (or replacing in) this process's environment.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The next line of standard output (without its newline), or none at
  // end of output or when the deadline passes.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Closes standard input, drains both outputs and waits for the exit; after
  // `timeout` the child is killed.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void signal(int sig);

 private:
  bool pump(std::chrono::milliseconds timeout);  // false when both pipes are closed

  pid_t pid_ = -1;
  UniqueFd out_;
  UniqueFd err_;
  std::string outBuffer_;
  std::string errBuffer_;
  std::string lineBuffer_;  // stdout not yet returned by readLine
  bool waited_ = false;
};

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace lumora::testing
