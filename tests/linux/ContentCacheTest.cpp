#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/fileprovider/linux/ContentCache.h"
#include "platform/fileprovider/linux/SingleFlight.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::fuse {
namespace {

namespace fs = std::filesystem;

fs::path download(const fs::path& folder, const std::string& name, size_t size) {
  fs::path file = folder / name;
  std::ofstream(file, std::ios::binary) << std::string(size, 'x');
  return file;
}

std::string readAll(int fd) {
  std::string out(4096, '\0');
  ssize_t got = ::pread(fd, out.data(), out.size(), 0);
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

TEST(ContentCacheTest, NamesComeFromIdentifierAndVersionOnly) {
  auto a = ContentCache::fileNameFor("mirror/a.txt", "e1");
  EXPECT_EQ(a.size(), 64u);
  EXPECT_EQ(a, ContentCache::fileNameFor("mirror/a.txt", "e1"));
  EXPECT_NE(a, ContentCache::fileNameFor("mirror/a.txt", "e2"));
  EXPECT_NE(ContentCache::fileNameFor("ab", "c"), ContentCache::fileNameFor("a", "bc"));
  EXPECT_EQ(a.find("mirror"), std::string::npos);
}

TEST(ContentCacheTest, AdoptedFilesAreFoundByVersionAndSurviveARestart) {
  testing::TempDir dir;
  {
    ContentCache cache(dir.path() / "cache", 1 << 20);
    ASSERT_TRUE(cache.prepare().has_value());
    EXPECT_FALSE(cache.open("mirror/a", "v1").has_value());
    auto lease = cache.adopt("mirror/a", "v1", download(dir.path(), "dl", 100));
    ASSERT_TRUE(lease.has_value());
    EXPECT_EQ(lease->size(), 100u);
    EXPECT_FALSE(fs::exists(dir.path() / "dl"));  // taken over
    EXPECT_FALSE(cache.open("mirror/a", "v2").has_value());
    EXPECT_EQ(fs::status(cache.directory()).permissions() & fs::perms::all, fs::perms::owner_all);
  }
  std::ofstream(dir.path() / "cache" / ".partial-leftover") << "half";
  ContentCache again(dir.path() / "cache", 1 << 20);
  ASSERT_TRUE(again.prepare().has_value());
  auto lease = again.open("mirror/a", "v1");
  ASSERT_TRUE(lease.has_value());
  EXPECT_EQ(readAll(lease->fd()), std::string(100, 'x'));
  EXPECT_FALSE(fs::exists(dir.path() / "cache" / ".partial-leftover"));
  EXPECT_EQ(again.bytesUsed(), 100u);
}

TEST(ContentCacheTest, EvictsTheLeastRecentlyUsedFilesNoOneHolds) {
  testing::TempDir dir;
  ContentCache cache(dir.path() / "cache", 300);
  ASSERT_TRUE(cache.prepare().has_value());
  auto held = cache.adopt("a", "1", download(dir.path(), "a", 100));
  ASSERT_TRUE(held.has_value());
  ASSERT_TRUE(cache.adopt("b", "1", download(dir.path(), "b", 100)).has_value());
  ASSERT_TRUE(cache.adopt("c", "1", download(dir.path(), "c", 100)).has_value());
  (void)cache.open("b", "1");  // b is now more recent than c
  ASSERT_TRUE(cache.adopt("d", "1", download(dir.path(), "d", 100)).has_value());
  EXPECT_LE(cache.bytesUsed(), 300u);
  EXPECT_TRUE(cache.open("a", "1").has_value());  // held open: kept although oldest
  EXPECT_TRUE(cache.open("b", "1").has_value());
  EXPECT_FALSE(cache.open("c", "1").has_value());
  EXPECT_TRUE(cache.open("d", "1").has_value());
  EXPECT_EQ(cache.fileCount(), 3u);
}

TEST(ContentCacheTest, AFileLargerThanTheLimitIsStillServed) {
  testing::TempDir dir;
  ContentCache cache(dir.path() / "cache", 50);
  ASSERT_TRUE(cache.prepare().has_value());
  auto lease = cache.adopt("big", "1", download(dir.path(), "big", 200));
  ASSERT_TRUE(lease.has_value());
  EXPECT_EQ(readAll(lease->fd()).size(), 200u);
}

TEST(SingleFlightTest, ConcurrentCallersOfOneKeyShareOneRun) {
  SingleFlight<std::string, int> flight;
  std::atomic<int> runs{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> callers;
  callers.reserve(8);
  std::vector<int> values(8);
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&, i] {
      values[i] = flight.run("k", [&] {
        ++runs;
        while (!release) std::this_thread::yield();
        return 42;
      });
    });
  }
  // Let every caller reach the flight, then finish the one run.
  while (runs == 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  release = true;
  for (auto& t : callers) t.join();
  for (int v : values) EXPECT_EQ(v, 42);
  EXPECT_GE(runs, 1);
  EXPECT_LT(runs, 8);
  // Later calls run again.
  EXPECT_EQ(flight.run("k", [] { return 7; }), 7);
}

}  // namespace
}  // namespace lumora::fuse
