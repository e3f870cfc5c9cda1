#include "platform/foundation/TextFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/fixtures/TempHome.h"

namespace lumora {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;

TEST(Utf8, AcceptsWellFormedText) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain ascii"));
  EXPECT_TRUE(isValidUtf8("Connected \xE2\x80\x94 caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
}

TEST(Utf8, RejectsMalformedSequences) {
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong 3-byte
  EXPECT_FALSE(isValidUtf8("\xF0\x80\x80\xAF"));  // overlong 4-byte
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // lone high surrogate
  EXPECT_FALSE(isValidUtf8("\xED\xBF\xBF"));      // lone low surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(isValidUtf8("abc\xE2\x80"));       // truncated at the end
  EXPECT_FALSE(isValidUtf8("\x80"));              // stray continuation
  EXPECT_FALSE(isValidUtf8("\xFF"));
}

TEST(TextFile, ReadsTextAndReportsMissingOrInvalidFiles) {
  TempDir dir;
  auto good = dir.path() / "good.txt";
  std::ofstream(good) << "token\n";
  ASSERT_EQ(readUtf8File(good).value(), "token\n");

  auto missing = readUtf8File(dir.path() / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, kPosixErrorDomain);
  EXPECT_EQ(missing.error().code, ENOENT);

  auto bad = dir.path() / "bad.txt";
  std::ofstream(bad) << "ab\xED\xA0\x80";
  auto invalid = readUtf8File(bad);
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().domain, kDecodingErrorDomain);
}

TEST(TextFile, AtomicWriteReplacesASymlinkInsteadOfFollowingIt) {
  TempDir dir;
  auto victim = dir.path() / "victim";
  std::ofstream(victim) << "keep me";
  auto target = dir.path() / "status.txt";
  fs::create_symlink(victim, target);

  ASSERT_TRUE(writeFileAtomically(target, "new contents", 0600));
  EXPECT_FALSE(fs::is_symlink(target));
  EXPECT_EQ(readUtf8File(target).value(), "new contents");
  EXPECT_EQ(readUtf8File(victim).value(), "keep me");
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // Nothing but the two files is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(TextFile, AtomicWriteIntoAMissingFolderFailsCleanly) {
  TempDir dir;
  auto result = writeFileAtomically(dir.path() / "nope" / "file", "x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ENOENT);
}

TEST(TextFile, TrimsUnicodeWhitespaceAtBothEnds) {
  EXPECT_EQ(trimUnicodeWhitespace("  tok en\n\r\t"), "tok en");
  EXPECT_EQ(trimUnicodeWhitespace("\xE2\x80\xA8\xC2\xA0tok\xE3\x80\x80"),
            "tok");  // LS, NBSP, ideographic
  EXPECT_EQ(trimUnicodeWhitespace(" \n \t "), "");
  EXPECT_EQ(trimUnicodeWhitespace("caf\xC3\xA9"), "caf\xC3\xA9");
}

}  // namespace
}  // namespace lumora
