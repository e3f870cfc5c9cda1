#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/fileprovider/linux/base/SingleFlight.h"
#include "platform/fileprovider/linux/content/ContentCache.h"
#include "platform/fileprovider/linux/content/ContentReader.h"
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
  // The names are the cache's layout on disk: SHA-256 of both, hex.
  EXPECT_EQ(a, "5173e7b8b7244797326b8fcdc168bbb40ee52c165194d9d74386bcb472297348");
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

// Small files taken in whole share one journal rather than a map file
// each. A record that is damaged or cut short makes its file absent, to be
// fetched again; a map file of the older layout is still read.
TEST(ContentCacheTest, SmallFilesAreRecordedInOneJournalThatFailsSafe) {
  testing::TempDir dir;
  fs::path folder = dir.path() / "cache";
  // Taken in name order, which is also the order a single flush records.
  std::vector<std::string> items = {"a", "b"};
  if (ContentCache::fileNameFor("a", "v1") > ContentCache::fileNameFor("b", "v1")) {
    std::swap(items[0], items[1]);
  }
  std::string first = ContentCache::fileNameFor(items[0], "v1");
  std::string last = ContentCache::fileNameFor(items[1], "v1");
  for (int damage = 0; damage < 4; ++damage) {
    {
      ContentCache cache(folder, 1 << 20);
      ASSERT_TRUE(cache.prepare().has_value());
      for (const auto& item : items) {
        ASSERT_TRUE(cache.adopt(item, "v1", download(dir.path(), "dl", 100)).has_value());
      }
    }
    EXPECT_FALSE(fs::exists(folder / (first + ".map")));
    fs::path journal = folder / "journal";
    if (damage == 1) fs::resize_file(journal, fs::file_size(journal) - 3);
    if (damage == 2) {
      std::fstream bytes(journal, std::ios::in | std::ios::out | std::ios::binary);
      bytes.seekp(-20, std::ios::end);
      bytes.put('!');
    }
    if (damage == 3) {
      // The older layout: a map file beside each entry, no journal.
      fs::remove(journal);
      BlockMap map(100);
      map.present[0] = true;
      map.checksums[0] = blockChecksum(std::string(100, 'x').data(), 100);
      std::ofstream(folder / (last + ".map"), std::ios::binary) << map.encode();
    }
    ContentCache again(folder, 1 << 20);
    ASSERT_TRUE(again.prepare().has_value());
    for (const auto& item : items) {
      bool kept = damage == 0 || (ContentCache::fileNameFor(item, "v1") == last) == (damage == 3);
      auto lease = again.open(item, "v1");
      ASSERT_EQ(lease.has_value(), kept) << item << " damage " << damage;
      EXPECT_EQ(fs::exists(folder / ContentCache::fileNameFor(item, "v1")), kept);
      if (!lease) continue;
      EXPECT_TRUE(lease->entry().complete() && lease->entry().verify({0, 1}));
      EXPECT_EQ(readAll(lease->fd()), std::string(100, 'x'));
    }
    EXPECT_EQ(again.bytesUsed(), damage == 0 ? 200u : 100u);
    again.drop("a", "v1");
    again.drop("b", "v1");
  }
}

// Records of entries long evicted do not pile up: the journal is written
// afresh with those it still names.
TEST(ContentCacheTest, TheJournalIsWrittenAfreshOnceMostOfItsRecordsAreStale) {
  testing::TempDir dir;
  // Memory backed, so that the many flushes cost no syncs of a disk.
  if (::mount("lumora-test", dir.path().c_str(), "tmpfs", 0, "mode=0700") != 0) {
    GTEST_SKIP() << "cannot mount a file system here";
  }
  {
    ContentCache cache(dir.path() / "cache", 1000);  // ten files of 100 bytes
    ASSERT_TRUE(cache.prepare().has_value());
    for (size_t i = 0; i < kJournalSlack + 1000; ++i) {
      ASSERT_TRUE(cache.adopt(std::to_string(i), "v1", download(dir.path(), "dl", 100)));
      if (i % 10 == 9) cache.flush();
    }
    EXPECT_LT(fs::file_size(dir.path() / "cache" / "journal"), 1000u * 200);
  }
  ContentCache again(dir.path() / "cache", 1000);
  ASSERT_TRUE(again.prepare().has_value());
  EXPECT_EQ(again.fileCount(), 10u);
  EXPECT_TRUE(again.open(std::to_string(kJournalSlack + 999), "v1").has_value());
  ::umount2(dir.path().c_str(), MNT_DETACH);
}

// Kept entries survive a restart as kept: a lower limit at start evicts
// the others, and keeping a newer version lets the older one go.
TEST(ContentCacheTest, KeptEntriesStayKeptAcrossARestartAndALowerLimit) {
  testing::TempDir dir;
  {
    ContentCache cache(dir.path() / "cache", 1 << 20);
    ASSERT_TRUE(cache.prepare().has_value());
    for (const char* name : {"kept", "old", "other"}) {
      ASSERT_TRUE(cache.adopt(name, "v1", download(dir.path(), "dl", 100)).has_value());
    }
    EXPECT_TRUE(cache.keep("kept", "v1") && cache.keep("old", "v1"));
    ASSERT_TRUE(cache.adopt("old", "v2", download(dir.path(), "dl", 100)).has_value());
    EXPECT_TRUE(cache.keep("old", "v2"));
    EXPECT_FALSE(cache.open("old", "v1").has_value());
    EXPECT_FALSE(cache.keep("absent", "v1"));
  }
  ContentCache again(dir.path() / "cache", 150);
  ASSERT_TRUE(again.prepare().has_value());
  EXPECT_TRUE(again.isKept("kept", "v1") && again.isKept("old", "v2"));
  EXPECT_FALSE(again.open("other", "v1").has_value());
  EXPECT_EQ(again.keptBytes(), 200u);
  again.drop("old", "v2");
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

TEST(ContentCacheTest, BlockMapsRoundTripAndAnyDamageIsRefused) {
  BlockMap map(3 * kBlockSize + 10);
  map.present = {true, false, true, true};
  map.checksums = {1, 0, 3, 4};
  auto bytes = map.encode();
  auto back = BlockMap::decode(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->fileSize, map.fileSize);
  EXPECT_EQ(back->present, map.present);
  EXPECT_EQ(back->checksums, map.checksums);
  EXPECT_FALSE(back->complete());
  for (size_t at : {size_t{0}, size_t{9}, bytes.size() / 2, bytes.size() - 1}) {
    std::string damaged = bytes;
    damaged[at] ^= 0x40;
    EXPECT_FALSE(BlockMap::decode(damaged).has_value()) << "byte " << at;
  }
  EXPECT_FALSE(BlockMap::decode(bytes.substr(0, bytes.size() - 9)).has_value());
  EXPECT_FALSE(BlockMap::decode("").has_value());
}

// A partial entry with its first two blocks, flushed to disk as a crash
// would find it.
std::string entryLeftBehind(const fs::path& folder) {
  std::string bytes(2 * kBlockSize, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  ContentCache cache(folder, 1 << 30);
  EXPECT_TRUE(cache.prepare().has_value());
  auto lease = cache.create("mirror/big", "v1", 4 * kBlockSize);
  EXPECT_TRUE(lease.has_value());
  ContentReader::store(lease->share(), 0, bytes);
  cache.flush();
  return ContentCache::fileNameFor("mirror/big", "v1");
}

TEST(ContentCacheTest, AnEntryThatFailsItsChecksAfterARestartIsNeverServed) {
  testing::TempDir dir;
  fs::path folder = dir.path() / "cache";
  {
    std::string name = entryLeftBehind(folder);
    ContentCache again(folder, 1 << 30);
    ASSERT_TRUE(again.prepare().has_value());
    auto lease = again.open("mirror/big", "v1");
    ASSERT_TRUE(lease.has_value());
    EXPECT_TRUE(lease->entry().hasUnverified());
    EXPECT_TRUE(lease->entry().verify({0, 2}));
    EXPECT_FALSE(lease->entry().hasUnverified());
    EXPECT_EQ(again.stateOf("mirror/big", "v1"), ContentCache::EntryState::partial);
  }
  {
    // A block whose bytes changed on disk is caught the first time it is served.
    std::string name = entryLeftBehind(folder);
    {
      std::fstream data(folder / name, std::ios::in | std::ios::out | std::ios::binary);
      data.seekp(kBlockSize + 5);
      data.put('!');
    }
    ContentCache again(folder, 1 << 30);
    ASSERT_TRUE(again.prepare().has_value());
    auto lease = again.open("mirror/big", "v1");
    ASSERT_TRUE(lease.has_value());
    EXPECT_TRUE(lease->entry().verify({0, 1}));
    EXPECT_FALSE(lease->entry().verify({1, 2}));
    EXPECT_FALSE(lease->entry().anyPresent());
  }
  for (int damage = 0; damage < 3; ++damage) {
    // A data file cut short, a damaged map, data with no map: dropped.
    std::string name = entryLeftBehind(folder);
    if (damage == 0) fs::resize_file(folder / name, kBlockSize);
    if (damage == 1) std::ofstream(folder / (name + ".map"), std::ios::app) << "x";
    if (damage == 2) fs::remove(folder / (name + ".map"));
    ContentCache again(folder, 1 << 30);
    ASSERT_TRUE(again.prepare().has_value());
    EXPECT_FALSE(again.open("mirror/big", "v1").has_value()) << "damage " << damage;
    EXPECT_FALSE(fs::exists(folder / name)) << "damage " << damage;
  }
}

TEST(ContentCacheTest, AdmissionKeepsTheLimitSparesHeldEntriesAndTheFreeSpaceFloor) {
  testing::TempDir dir;
  DiskSpace disk{100ULL << 30, 200ULL << 30};
  ContentCache cache(dir.path() / "cache", 4 * kBlockSize,
                     [&](const fs::path&) { return std::optional(disk); });
  ASSERT_TRUE(cache.prepare().has_value());
  auto held = cache.create("a", "1", 2 * kBlockSize);
  ASSERT_TRUE(cache.create("b", "1", 2 * kBlockSize).has_value());
  ASSERT_TRUE(cache.create("c", "1", 2 * kBlockSize).has_value());  // b makes room
  EXPECT_EQ(cache.bytesUsed(), 4 * kBlockSize);
  EXPECT_TRUE(cache.open("a", "1").has_value());
  EXPECT_FALSE(cache.open("b", "1").has_value());
  // No room beside what is held: served, but never on the cache's books.
  auto big = cache.create("d", "1", 8 * kBlockSize);
  ASSERT_TRUE(big.has_value());
  EXPECT_TRUE(big->entry().transient());
  EXPECT_EQ(::pwrite(big->fd(), "x", 1, 7 * kBlockSize), 1);
  EXPECT_LE(cache.bytesUsed(), 4 * kBlockSize);
  // The disk nearly full: what can go goes, and then entries are read
  // through, never on the disk, and never refused.
  disk.available = 3ULL << 30;  // below the floor
  auto squeezed = cache.create("e", "1", kBlockSize);
  ASSERT_TRUE(squeezed.has_value());
  EXPECT_TRUE(squeezed->entry().streaming());
  EXPECT_EQ(cache.stateOf("e", "1"), ContentCache::EntryState::streaming);
  EXPECT_FALSE(cache.open("c", "1").has_value());
  disk.available = 0;
  auto full = cache.create("f", "1", kBlockSize);
  ASSERT_TRUE(full.has_value());
  ContentReader::store(full->share(), 0, std::string(kBlockSize, 'f'));
  EXPECT_EQ(full->entry().copy(kBlockSize - 2, 2), "ff");
  EXPECT_EQ(full->fd(), -1);
}

size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& fd : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Ten thousand files are slow on a shared disk: made in memory when possible.
struct MemoryDir {
  testing::TempDir fallback;
  fs::path root = fallback.path();
  MemoryDir() {
    char name[] = "/dev/shm/lumora-test-XXXXXX";
    if (::mkdtemp(name)) root = name;
  }
  ~MemoryDir() {
    std::error_code ec;
    if (root != fallback.path()) fs::remove_all(root, ec);
  }
  const fs::path& path() const { return root; }
};

TEST(ContentCacheTest, TenThousandEntriesStayReadableUnderALowDescriptorLimit) {
  MemoryDir dir;
  struct Limit {
    struct rlimit saved {};
    Limit() {
      ::getrlimit(RLIMIT_NOFILE, &saved);
      struct rlimit low = saved;
      low.rlim_cur = std::min<rlim_t>(256, saved.rlim_cur);
      ::setrlimit(RLIMIT_NOFILE, &low);
    }
    ~Limit() { ::setrlimit(RLIMIT_NOFILE, &saved); }
  } limit;
  size_t before = openDescriptors();
  auto readEach = [&](ContentCache& cache) {
    size_t readable = 0;
    for (int i = 0; i < 10000; ++i) {
      auto lease = cache.open("f" + std::to_string(i), "1");
      readable += lease && readAll(lease->fd()) == std::to_string(i);
    }
    return readable;
  };
  {
    ContentCache cache(dir.path() / "cache", 1 << 30);
    ASSERT_TRUE(cache.prepare().has_value());
    for (int i = 0; i < 10000; ++i) {
      std::ofstream(dir.path() / "dl") << i;
      ASSERT_TRUE(cache.adopt("f" + std::to_string(i), "1", dir.path() / "dl").has_value()) << i;
    }
    EXPECT_EQ(readEach(cache), 10000u);
    EXPECT_LE(openDescriptors(), before + kIdleDescriptors + 1);  // and the flusher's folder
    // Those not used lately rest as their checksums, and come back when opened.
    cache.flush();
    EXPECT_EQ(cache.liveEntries(), kLiveEntries);
    EXPECT_EQ(readEach(cache), 10000u);
  }
  // A file no entry accounts for goes at start.
  std::ofstream(dir.path() / "cache" / "stray") << "x";
  ContentCache again(dir.path() / "cache", 1 << 30);
  ASSERT_TRUE(again.prepare().has_value());
  EXPECT_LE(openDescriptors(), before + 1);  // the flusher's folder, at most
  EXPECT_EQ(again.fileCount(), 10000u);
  EXPECT_EQ(again.liveEntries(), 0u);
  EXPECT_EQ(readEach(again), 10000u);
  EXPECT_LE(openDescriptors(), before + kIdleDescriptors + 1);
  EXPECT_FALSE(fs::exists(dir.path() / "cache" / "stray"));
  // A resting entry is evicted as any other, the least recently used first.
  again.flush();
  again.setLimit(again.bytesUsed() - 1);
  EXPECT_FALSE(again.open("f0", "1").has_value());
  EXPECT_FALSE(fs::exists(dir.path() / "cache" / ContentCache::fileNameFor("f0", "1")));
  EXPECT_TRUE(again.open("f1", "1").has_value());
}

TEST(ContentCacheTest, BlocksReachTheDiskOnlyAboveTheFloorAndAreHeldInMemoryOtherwise) {
  testing::TempDir dir;
  DiskSpace disk{100ULL << 30, 200ULL << 30};
  fs::path folder = dir.path() / "cache";
  std::string name = ContentCache::fileNameFor("big", "1");
  {
    ContentCache cache(folder, 1 << 30, [&](const fs::path&) { return std::optional(disk); });
    ASSERT_TRUE(cache.prepare().has_value());
    auto big = cache.create("big", "1", 4 * kBlockSize);
    ASSERT_TRUE(big.has_value());
    ASSERT_TRUE(cache.adopt("old", "1", download(dir.path(), "old", 100)).has_value());
    // Admitted with room, then the disk fills: the next block first evicts
    // what no one holds, and then stays in memory.
    disk.available = 1ULL << 30;
    ContentReader::store(big->share(), 0, std::string(kBlockSize, 'a'));
    EXPECT_FALSE(cache.open("old", "1").has_value());
    EXPECT_TRUE(big->entry().streaming());
    EXPECT_EQ(big->entry().blocksInMemory(), 1u);
    EXPECT_EQ(big->entry().copy(0, 3), "aaa");
    EXPECT_EQ(cache.stateOf("big", "1"), ContentCache::EntryState::streaming);
    cache.flush();
  }
  ContentCache again(folder, 1 << 30);
  ASSERT_TRUE(again.prepare().has_value());
  EXPECT_EQ(again.stateOf("big", "1"), ContentCache::EntryState::absent);
  EXPECT_EQ(fs::file_size(folder / name), 4 * kBlockSize);
}

TEST(ContentCacheTest, AWriteTheDiskRefusesMakesRoomOrIsHeldInMemory) {
  // A real full disk: a file system of 1 MiB, whose own count says more.
  // Written in parts of 256 KiB, whole blocks.
  const uint64_t part = 256 << 10;
  testing::TempDir dir;
  if (::mount("lumora-test", dir.path().c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  {
    DiskSpace roomy{100ULL << 30, 200ULL << 30};
    ContentCache cache(dir.path() / "cache", 1 << 30,
                       [&](const fs::path&) { return std::optional(roomy); });
    ASSERT_TRUE(cache.prepare().has_value());
    ASSERT_TRUE(cache.adopt("old", "1", download(dir.path(), "old", 600 << 10)).has_value());
    // Read once: its descriptor kept idle must not hold its space once evicted.
    EXPECT_FALSE(readAll(cache.open("old", "1")->fd()).empty());
    auto big = cache.create("big", "1", 5 * part);
    ASSERT_TRUE(big.has_value());
    std::string bytes(5 * part, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 / 7);
    ContentReader::store(big->share(), 0, bytes.substr(0, 2 * part));
    EXPECT_FALSE(cache.open("old", "1").has_value());  // made room for the second part
    EXPECT_EQ(big->entry().blocksInMemory(), 0u);
    ContentReader::store(big->share(), 2 * part, bytes.substr(2 * part));
    EXPECT_GE(big->entry().blocksInMemory(), 1u);  // nothing left to evict
    EXPECT_TRUE(big->entry().complete());
    EXPECT_TRUE(big->entry().copy(0, bytes.size()) == bytes);
  }
  ::umount2(dir.path().c_str(), MNT_DETACH);
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
