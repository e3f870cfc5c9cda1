// The command runner against real shells and fake tools in a temporary home.
#include <gtest/gtest.h>

#include "host/core/system/CommandRunner.h"
#include "platform/foundation/ProcessRunner.h"
#include "tests/host/HostTestSupport.h"

namespace lumora::host {
namespace {
namespace fs = std::filesystem;
using testing::HostFixture;

// A tool that writes each argument on a line of its own to the log.
constexpr const char* kArgumentLogger =
    R"(for word in "$@"; do printf '%s\n' "$word" >>"$LUMORA_TEST_LOG"; done)";

class CommandRunnerTest : public ::testing::Test {
 protected:
  HostFixture fixture;
  CommandRunner runner{fixture.home(), CommandRunner::defaultShell()};
};

TEST_F(CommandRunnerTest, CapturesBothStreamsAndExitStatus) {
  fixture.writeTool("echo out; echo err >&2; exit 3");
  CLIResult result = runner.runCLI({"anything"});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.output, "out\nerr\n");  // unchanged, trailing newline kept

  fixture.writeTool("printf 'only on stderr' >&2");
  result = runner.runCLI({});
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.output, "only on stderr");

  fixture.writeTool("exit 0");
  result = runner.runCLI({"x"});
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.output, "");
}

TEST_F(CommandRunnerTest, ReturnsLargeOutputWhole) {
  // 600 KiB on stdout and 100 KiB on stderr, far beyond a pipe's buffer.
  fixture.writeTool(
      "head -c 614400 /dev/zero | tr '\\0' a; head -c 102400 /dev/zero | tr '\\0' b >&2");
  CLIResult result = runner.runCLI({});
  EXPECT_TRUE(result.ok);
  ASSERT_EQ(result.output.size(), 614400u + 102400u);
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), 'a'), 614400);
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), 'b'), 102400);

  std::string shellOut = runner.runShell("head -c 409600 /dev/zero | tr '\\0' c");
  EXPECT_EQ(shellOut, std::string(409600, 'c'));
}

TEST_F(CommandRunnerTest, MissingToolFailsWithTheShellsComplaint) {
  CLIResult result = runner.runCLI({"snapshot", "list"});
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.output.find(".lumora/cli/bin/lumora"), std::string::npos) << result.output;
}

TEST_F(CommandRunnerTest, EveryArgumentReachesTheToolAsOneLiteralWord) {
  fixture.writeTool(kArgumentLogger);
  const std::vector<std::string> words = {
      "snapshot", "restore", "x;rm${IFS}-rf${IFS}~", "$(touch pwned)", "it's two words", "`id`",
      "*",        ""};
  CLIResult result = runner.runCLI(words);
  EXPECT_TRUE(result.ok) << result.output;
  EXPECT_EQ(testing::lines(fixture.log()), words);
  EXPECT_FALSE(fs::exists(fixture.home() / "pwned"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
}

TEST(CommandRunnerHomeTest, HomeWithSpacesAndQuotesStillFindsTheTool) {
  HostFixture fixture;
  fs::path home = fixture.temp.root() / "my home's 'place' $HOME";
  testing::writeScript(home / ".lumora/cli/bin/lumora", "printf '%s|' \"$@\"");
  CommandRunner runner(home, CommandRunner::defaultShell());
  CLIResult result = runner.runCLI({"box", "start"});
  EXPECT_TRUE(result.ok) << result.output;
  EXPECT_EQ(result.output, "box|start|");
}

TEST_F(CommandRunnerTest, InvalidUtf8GivesEmptyTextButKeepsTheStatus) {
  fixture.writeTool("printf '\\377\\376 bad'; exit 0");
  CLIResult result = runner.runCLI({});
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.output, "");
  fixture.writeTool("printf 'caf\\303\\251'; exit 1");
  result = runner.runCLI({});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.output, "café");
  EXPECT_EQ(runner.runShell("printf '\\200'"), "");
}

TEST_F(CommandRunnerTest, RunShellReturnsStdoutOnly) {
  EXPECT_EQ(runner.runShell("echo visible; echo hidden >&2; exit 7"), "visible\n");
  EXPECT_EQ(runner.runShell("echo only-stderr >&2"), "");
}

TEST(CommandRunnerLaunchTest, LaunchErrorIsTheSystemsMessage) {
  testing::TempHome temp;
  CommandRunner runner(temp.home(), (temp.root() / "no-such-shell").string());
  CLIResult result = runner.runCLI({"login"});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.output, "No such file or directory");
  EXPECT_EQ(runner.runShell("echo never"), "");

  auto direct = runProcess((temp.root() / "no-such-shell").string(), {}, OutputCapture::stdoutOnly);
  ASSERT_FALSE(direct.has_value());
  EXPECT_EQ(direct.error().code, ENOENT);
}

TEST(CommandRunnerShellTest, DefaultShellIsZshWhenExecutable) {
  std::string shell = CommandRunner::defaultShell();
  if (::access("/bin/zsh", X_OK) == 0) {
    EXPECT_EQ(shell, "/bin/zsh");
  } else {
    EXPECT_EQ(::access(shell.c_str(), X_OK), 0) << shell;
  }
}

TEST(CommandRunnerPathTest, CliPathFollowsTheHomeOnEveryCall) {
  testing::TempHome first;
  CommandRunner runner;  // current home, looked up on each call
  EXPECT_EQ(runner.cliPath(), first.home().string() + "/.lumora/cli/bin/lumora");
  {
    testing::TempHome second;
    EXPECT_EQ(runner.cliPath(), second.home().string() + "/.lumora/cli/bin/lumora");
  }
}

TEST(ShellQuoteTest, QuotesForPosixShells) {
  EXPECT_EQ(shellQuote("plain"), "'plain'");
  EXPECT_EQ(shellQuote(""), "''");
  EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
  // What /bin/sh makes of it is the word itself.
  std::string word = "a b'c\"$d`e\\f\ng";
  auto run =
      runProcess("/bin/sh", {"-c", "printf '%s' " + shellQuote(word)}, OutputCapture::stdoutOnly);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->bytes, word);
}

TEST(ProcessRunnerTest, GivenEnvironmentReplacesTheProcesssOwn) {
  std::vector<std::string> environment = {"ONLY_THIS=1", "PATH=/usr/bin:/bin"};
  auto run = runProcess("/bin/sh", {"-c", "echo \"$ONLY_THIS:${HOME-unset}\""},
                        OutputCapture::stdoutOnly, &environment);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->bytes, "1:unset\n");
}

TEST(ProcessRunnerTest, ReportsSignalDeathAsFailure) {
  auto run = runProcess("/bin/sh", {"-c", "kill -9 $$"}, OutputCapture::stdoutAndStderr);
  ASSERT_TRUE(run.has_value());
  EXPECT_FALSE(run->succeeded());
  EXPECT_TRUE(WIFSIGNALED(run->waitStatus));
}

TEST(CommandRunnerShellTest, WithoutZshTheFallBackIsAPosixShellNotTheLoginShell) {
  HostFixture fixture;
  const std::string shell = CommandRunner::defaultShell(fixture.temp.root() / "no-zsh-here");
  EXPECT_EQ(shell, "/bin/sh");
  // The quoting holds under it, a backslash before a quote included.
  fixture.writeTool(kArgumentLogger);
  CommandRunner runner(fixture.home(), shell);
  const std::vector<std::string> words = {"a\\'b", "\\'", "it\\'s; touch pwned"};
  CLIResult result = runner.runCLI(words);
  EXPECT_TRUE(result.ok) << result.output;
  EXPECT_EQ(testing::lines(fixture.log()), words);
  EXPECT_FALSE(fs::exists(fixture.home() / "pwned"));
}

}  // namespace
}  // namespace lumora::host
