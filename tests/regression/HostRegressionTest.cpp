// The checkpoint listing parser, replayed on the fuzz seeds and findings;
// and the command runner handing fuzzer-made words to a real tool.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fuzz/checks/SnapshotListingCheck.h"
#include "host/core/system/CommandRunner.h"
#include "platform/foundation/TextFile.h"
#include "tests/fixtures/TempHome.h"
#include "tests/regression/Inputs.h"
#include "tests/regression/ShellWords.h"

namespace lumora::fuzz {
namespace {

TEST(HostRegression, SnapshotListing) {
  LUMORA_REPLAY("SnapshotListingFuzz", checkSnapshotListing);
}

// A home whose path the shell would split and expand, and a tool that
// prints each argument it got followed by a NUL.
TEST(HostRegression, ToolGetsEachFuzzerWordWhole) {
  lumora::testing::TempDir dir;
  std::filesystem::path home = dir.path() / "it's a $HOME; `x`";
  std::filesystem::path tool = home / ".lumora/cli/bin/lumora";
  std::filesystem::create_directories(tool.parent_path());
  ASSERT_TRUE(writeFileAtomically(tool, "#!/bin/sh\nprintf '%s\\0' \"$@\"\n", 0755));
  host::CommandRunner runner(home, "/bin/sh");

  std::vector<std::string> words;
  for (auto& word : regression::fuzzerWords()) {
    if (isValidUtf8(word)) words.push_back(word);  // the output is decoded as UTF-8
  }
  ASSERT_GE(words.size(), 100u);
  for (size_t from = 0; from < words.size(); from += 40) {
    std::vector<std::string> batch(
        words.begin() + static_cast<long>(from),
        words.begin() + static_cast<long>(std::min(from + 40, words.size())));
    host::CLIResult result = runner.runCLI(batch);
    EXPECT_TRUE(result.ok) << result.output;
    std::string expected;
    for (const auto& w : batch) expected += w + '\0';
    EXPECT_EQ(result.output, expected) << "words from " << from;
  }
}

}  // namespace
}  // namespace lumora::fuzz
