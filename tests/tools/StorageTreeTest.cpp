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

TEST(StorageTree, PagesOfAnySizeWalkTheTreeInByteOrderOnce) {
  TempDir root;
  // Names around "/" in byte order: "a.txt" < "a/..." < "a0", and empty folders.
  for (const char* folder : {"a/b", "a/c/d", "a0", "e"})
    std::filesystem::create_directories(root.path() / folder);
  std::vector<std::string> files{"a.txt", "a/b/x", "a/b/y", "a/c/d/z", "a/c1", "a0/q", "b", "a00"};
  for (const auto& f : files) std::ofstream(root.path() / f) << f;
  std::vector<std::string> expected;
  for (const auto& f : files) expected.push_back("mirror/" + f);
  std::sort(expected.begin(), expected.end());
  auto tree = StorageTree::open(root.path());
  ASSERT_TRUE(tree);
  for (std::string prefix : {"", "mirror/", "mirror/a"}) {
    for (std::size_t size : {1, 2, 3, 100}) {
      std::vector<std::string> keys;
      std::string cursor;
      do {
        auto page = tree->list(prefix, false, cursor, size);
        ASSERT_TRUE(page);
        ASSERT_LE(page->records.size(), size);
        for (const auto& r : page->records) keys.push_back(r.key);
        cursor = page->cursor.value_or("");
      } while (!cursor.empty());
      auto want = expected;
      std::erase_if(want, [&](const std::string& k) { return !k.starts_with(prefix); });
      EXPECT_EQ(keys, want) << prefix << " by " << size;
    }
  }
  // A large folder's names are kept between pages, and dropped once it changes.
  std::filesystem::create_directory(root.path() / "big");
  for (int i = 0; i < 1000; ++i) std::ofstream(root.path() / "big" / std::to_string(i));
  struct timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root.path() / "big").c_str(), old, 0), 0);
  auto second = [&] { return tree->list("mirror/big/", true, encodeCursor("mirror/big/0"), 1); };
  EXPECT_EQ(second()->records.at(0).key, "mirror/big/1");
  std::ofstream(root.path() / "big" / "00");
  EXPECT_EQ(second()->records.at(0).key, "mirror/big/00");
  auto folders = tree->list("mirror/", true, encodeCursor("mirror/a.txt"), 2);
  ASSERT_TRUE(folders);
  ASSERT_EQ(folders->records.size(), 2u);
  EXPECT_EQ(folders->records[0].key, "mirror/a/");
  EXPECT_EQ(folders->records[1].key, "mirror/a0/");
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
