#include "host/core/system/CommandRunner.h"

#include <unistd.h>

#include "platform/foundation/Paths.h"
#include "platform/foundation/ProcessRunner.h"
#include "platform/foundation/TextFile.h"

namespace lumora::host {

namespace {

std::string decoded(std::string bytes) {
  return isValidUtf8(bytes) ? std::move(bytes) : std::string();
}

}  // namespace

std::filesystem::path CommandRunner::home() const {
  return home_ ? *home_ : paths::homeDirectory();
}

std::string CommandRunner::cliPath() const {
  return home().string() + "/.lumora/cli/bin/lumora";
}

std::string CommandRunner::shell() const {
  return shell_ ? *shell_ : defaultShell();
}

std::string CommandRunner::defaultShell(const std::filesystem::path& zsh) {
  // The words are quoted for a POSIX shell, so only a POSIX shell may read
  // them: the user's login shell (fish, say) could let a quoted word out.
  return ::access(zsh.c_str(), X_OK) == 0 ? zsh.string() : "/bin/sh";
}

CLIResult CommandRunner::runCLI(const std::vector<std::string>& arguments) const {
  // The words come partly from the tool's own output (checkpoint
  // identifiers) and the path from the home folder: each is quoted so the
  // shell can neither split it nor expand anything inside it.
  std::string command = shellQuote(cliPath());
  for (const auto& argument : arguments) {
    command += ' ';
    command += shellQuote(argument);
  }
  auto run = runProcess(shell(), {"-lc", command}, OutputCapture::stdoutAndStderr,
                        environment_ ? &*environment_ : nullptr);
  if (!run) return CLIResult{false, run.error().description};
  return CLIResult{run->succeeded(), decoded(std::move(run->bytes))};
}

std::string CommandRunner::runShell(const std::string& command) const {
  auto run = runProcess(shell(), {"-lc", command}, OutputCapture::stdoutOnly,
                        environment_ ? &*environment_ : nullptr);
  if (!run) return {};
  return decoded(std::move(run->bytes));
}

}  // namespace lumora::host
