// Shell quoting and the shared defaults file, replayed on the fuzz seeds and
// findings; and the quoting checked against real shells on words that the
// fuzzer made.
#include <unistd.h>

#include <gtest/gtest.h>

#include "fuzz/checks/SharedDefaultsCheck.h"
#include "fuzz/checks/ShellQuoteCheck.h"
#include "tests/fixtures/TempHome.h"
#include "tests/regression/Inputs.h"
#include "tests/regression/ShellWords.h"

namespace lumora::fuzz {
namespace {

TEST(FoundationRegression, ShellQuote) {
  LUMORA_REPLAY("ShellQuoteFuzz", checkShellQuote);
}

TEST(FoundationRegression, SharedDefaults) {
  testing::TempDir dir;
  auto file = dir.path() / "suite" / "defaults.json";
  std::filesystem::create_directories(file.parent_path());
  LUMORA_REPLAY("SharedDefaultsFuzz",
                [&](const std::string& input) { return checkSharedDefaults(input, file); });
  LUMORA_REPLAY("SharedDefaultsFuzz", checkSharedDefaultsBytes);
}

// The reader must refuse what a shell would expand or split, or its
// agreement with the quoting would prove nothing.
TEST(FoundationRegression, ReaderRefusesWhatTheShellInterprets) {
  for (const char* text : {"$HOME", "a;b", "a|b", "`id`", "*", "~", "\"$x\"", "'open", "a\\", "(x)",
                           "a>b", "#c", "x=y"}) {
    EXPECT_FALSE(readShellWords(text).refusal.empty()) << text;
  }
  EXPECT_EQ(readShellWords("'a'\\''b' \"c d\"  e\\ f").words,
            (std::vector<std::string>{"a'b", "c d", "e f"}));
  EXPECT_EQ(readShellWords("'' x").words, (std::vector<std::string>{"", "x"}));
  EXPECT_FALSE(readShellWords(std::string("'a\0b'", 5)).refusal.empty());
}

// What a real shell hands to a program for the quoted words: the shell's
// own printf prints each argument followed by a NUL.
std::vector<std::string> throughShell(const std::string& shell,
                                      const std::vector<std::string>& words) {
  auto run = runProcess(shell, {"-c", "printf '%s\\0' " + quotedCommand(words)},
                        OutputCapture::stdoutOnly);
  std::vector<std::string> out;
  if (!run || !run->succeeded()) return out;
  std::string_view bytes = run->bytes;
  while (!bytes.empty()) {
    size_t end = bytes.find('\0');
    out.emplace_back(bytes.substr(0, end));
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
  }
  return out;
}

TEST(FoundationRegression, RealShellsReadQuotedFuzzerWordsBack) {
  std::vector<std::string> words = regression::fuzzerWords();
  ASSERT_GE(words.size(), 200u);
  int shells = 0;
  for (const char* shell : {"/bin/sh", "/bin/bash", "/bin/dash", "/bin/zsh"}) {
    if (::access(shell, X_OK) != 0) continue;
    ++shells;
    // In batches, so a few processes carry all the words.
    for (size_t from = 0; from < words.size(); from += 50) {
      std::vector<std::string> batch(
          words.begin() + static_cast<long>(from),
          words.begin() + static_cast<long>(std::min(from + 50, words.size())));
      EXPECT_EQ(throughShell(shell, batch), batch) << shell << ", words from " << from;
    }
  }
  EXPECT_GE(shells, 1);
}

}  // namespace
}  // namespace lumora::fuzz
