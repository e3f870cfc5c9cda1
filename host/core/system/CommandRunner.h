#pragma once
// The one place that starts the product's command-line tool and shell
// commands. Both calls block until the started program has ended; callers
// that must not block the interface call them from a background task.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumora::host {

struct CLIResult {
  bool ok = false;     // the shell exited with status 0
  std::string output;  // standard output and error together, UTF-8 (else empty)
};

class CommandRunner {
 public:
  // The current user's home and the default shell, looked up on every call.
  CommandRunner() = default;
  // A fixed home and shell (tests use a temporary home).
  CommandRunner(std::filesystem::path home, std::string shell)
      : home_(std::move(home)), shell_(std::move(shell)) {}

  // Gives the started programs exactly `environment` ("NAME=value"
  // entries) instead of this process's, which may then change freely.
  void setEnvironment(std::vector<std::string> environment) {
    environment_ = std::move(environment);
  }

  std::filesystem::path home() const;
  // home + "/.lumora/cli/bin/lumora"
  std::string cliPath() const;
  std::string shell() const;

  // Runs the tool with `arguments` through the shell ("-lc"). Every word,
  // the tool's path included, is quoted so that each reaches the tool as one
  // literal argument, whatever characters it holds.
  CLIResult runCLI(const std::vector<std::string>& arguments) const;
  // Runs `command` unchanged through the shell ("-lc"); returns standard
  // output only (standard error is inherited). A launch error gives "".
  std::string runShell(const std::string& command) const;

  // `zsh` when executable, else "/bin/sh", never the login shell.
  static std::string defaultShell(const std::filesystem::path& zsh = "/bin/zsh");

 private:
  std::optional<std::filesystem::path> home_;
  std::optional<std::string> shell_;
  std::optional<std::vector<std::string>> environment_;
};

}  // namespace lumora::host
