// The storage tree and its helpers in-process: cursors, dates, queries, odd
// files, and the state folder under concurrent use.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "tests/fixtures/TempHome.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/SignIn.h"
#include "tools/devservice/StateStore.h"
#include "tools/devservice/StorageTree.h"

namespace lumora::devservice {
namespace {

using lumora::testing::TempDir;

TEST(StorageTree, CursorsRoundTripAnyKeyAndRejectForeignText) {
  for (const std::string& key : std::vector<std::string>{
           "", "m", "mi", "mir", "mirror/docs/sub/ü file+.txt", std::string("\xff\x00\x01", 3)}) {
    auto back = decodeCursor(encodeCursor(key));
    ASSERT_TRUE(back) << key;
    EXPECT_EQ(*back, key);
  }
  EXPECT_FALSE(decodeCursor("a b"));
  EXPECT_FALSE(decodeCursor("a"));   // a lone character carries fewer than 8 bits
  EXPECT_FALSE(decodeCursor("nB"));  // nonzero padding bits
}

TEST(StorageTree, DatesAreWholeSecondsInUtc) {
  EXPECT_EQ(formatRfc3339(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatRfc3339(1714557600), "2024-05-01T10:00:00Z");
  EXPECT_EQ(formatRfc3339(253402300800LL), "");  // year 10000
}

TEST(StorageTree, QueriesDecodePercentEscapesAndKeepPlus) {
  auto q = parseQuery("/storage/list?prefix=mirror/a+b%20c%2Fd&exact=1&empty=&flag");
  EXPECT_EQ(q.find("prefix")->second, "mirror/a+b c/d");
  EXPECT_EQ(q.find("exact")->second, "1");
  EXPECT_EQ(q.find("empty")->second, "");
  EXPECT_EQ(q.count("flag"), 1u);
  EXPECT_EQ(encodeQueryValue("mirror/a+b c&d=é"), "mirror/a%2Bb%20c%26d%3D%C3%A9");
}

TEST(StorageTree, FifosAndLinksAreInvisibleAndNeverOpened) {
  TempDir root;
  std::ofstream(root.path() / "plain.txt") << "x";
  ASSERT_EQ(::mkfifo((root.path() / "pipe").c_str(), 0600), 0);
  std::filesystem::create_symlink("/etc/passwd", root.path() / "passwd");
  auto tree = StorageTree::open(root.path());
  ASSERT_TRUE(tree);
  auto page = tree->list("mirror/", true, "", 100);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->records.size(), 1u);
  EXPECT_EQ(page->records[0].key, "mirror/plain.txt");
  // Opening a FIFO would block a reader forever; it is simply not an object.
  EXPECT_EQ(tree->openObject("mirror/pipe").error().code, 404);
  EXPECT_EQ(tree->openObject("mirror/passwd").error().code, 404);
  auto top = tree->list("", true, "", 100);
  ASSERT_TRUE(top);
  ASSERT_EQ(top->records.size(), 1u);
  EXPECT_EQ(top->records[0].key, "mirror/");
  EXPECT_TRUE(tree->list("other/", true, "", 100)->records.empty());
}

TEST(SignInDesk, PagesAndGrantsThatOutliveTheirTimeAreRefused) {
  TempDir state;
  auto store = StateStore::open(state.path());
  ASSERT_TRUE(store);
  auto other = StateStore::open(state.path());  // as a second process would
  ASSERT_TRUE(other);
  EXPECT_EQ((*store)->urlSecret(), (*other)->urlSecret());
  ASSERT_TRUE(addUser(state.path() / "users", "ada", "pw"));
  TokenAuthority tokens((*store)->urlSecret(), "folder\n/x", state.path() / "revoked");
  SignInDesk desk(tokens, state.path() / "users", state.path() / "signins", 3600);
  const std::int64_t t0 = 1'000'000'000;
  const std::string verifier(64, 'b');
  const std::string session = SignInDesk::sessionOf(verifier);
  auto late = desk.confirm(session, desk.browserMark(session, t0), "ada", "pw", "a",
                           t0 + SignInDesk::kPageSeconds);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().code, 403);
  ASSERT_TRUE(desk.confirm(session, desk.browserMark(session, t0), "ada", "pw", "a", t0));
  auto collected = desk.collect(verifier, t0 + SignInDesk::kGrantSeconds);
  ASSERT_FALSE(collected);
  EXPECT_EQ(collected.error().code, 410);
  EXPECT_FALSE(SignInDesk::validSession(std::string(32, 'G')));
  EXPECT_FALSE(SignInDesk::validSession(std::string(31, 'a')));
}

}  // namespace
}  // namespace lumora::devservice
