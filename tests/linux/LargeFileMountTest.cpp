// Large files through a real mount: read block by block as they are read,
// with the size, the cache state and the cache's checks as the desktop
// sees them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "platform/fileprovider/linux/content/BlockMap.h"
#include "platform/fileprovider/linux/content/ContentCache.h"
#include "platform/fileprovider/linux/content/ContentReader.h"
#include "tests/linux/MountedDomain.h"
#include "tests/linux/Patterned.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readAt(const fs::path& path, off_t offset, size_t length) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return "open failed";
  std::string bytes(length, '\0');
  ssize_t got = ::pread(fd, bytes.data(), length, offset);
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

std::string attribute(const fs::path& path, const char* name) {
  char value[256];
  ssize_t got = ::getxattr(path.c_str(), name, value, sizeof value);
  return got < 0 ? "errno " + std::to_string(errno) : std::string(value, static_cast<size_t>(got));
}

class LargeFileMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
    writeToken(service.token());
  }
  TempHome home;
  StorageService service;
};

TEST_F(LargeFileMountTest, APeekFetchesOnlyItsBlocksAndComesBeforeTheRestOfTheFile) {
  std::string contents = patterned(24 << 20);
  service.setFile("mirror/video.mp4", contents);
  service.setFile("mirror/notes.txt", "small");
  MountedDomain mount(service);
  fs::path video = mount.root() / "video.mp4";
  EXPECT_EQ(attribute(video, "user.lumora.state"), "cloud");
  // The rest of the file never comes: the head is served all the same.
  service.stallObjectsFrom(2 << 20);
  EXPECT_EQ(readAt(video, 0, 4096), contents.substr(0, 4096));
  EXPECT_LE(service.objectBytesAsked(), 2u << 20);
  EXPECT_EQ(attribute(video, "user.lumora.state"), "partial");
  EXPECT_EQ(attribute(video, "user.lumora.version"), "etag-1");
  service.releaseStalls();
  // Read on to the end: whole and cached, each byte fetched about once.
  EXPECT_EQ(readFile(video).value_or("?"), contents);
  EXPECT_EQ(attribute(video, "user.lumora.state"), "cached");
  EXPECT_LE(service.objectBytesAsked(), contents.size() + (4u << 20));
  // Other names answer at once; nothing can be set.
  EXPECT_EQ(attribute(video, "user.other"), "errno " + std::to_string(ENODATA));
  EXPECT_NE(::setxattr(video.c_str(), "user.lumora.state", "x", 1, 0), 0);
  EXPECT_EQ(attribute(mount.root() / "notes.txt", "user.lumora.state"), "cloud");
  EXPECT_EQ(readFile(mount.root() / "notes.txt").value_or("?"), "small");
  EXPECT_EQ(attribute(mount.root() / "notes.txt", "user.lumora.state"), "cached");
}

// A thumbnailer reads about 1.2 MiB of a video's head in small reads and
// closes: the read-ahead fetches little beyond that.
TEST_F(LargeFileMountTest, AHeadPeekFetchesAtMostHalfAgainWhatItRead) {
  service.setFile("mirror/clip.mp4", patterned(8 << 20));
  MountedDomain mount(service);
  int fd = ::open((mount.root() / "clip.mp4").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const size_t peek = 1200 << 10;
  std::vector<char> buffer(32 << 10);
  size_t read = 0;
  while (read < peek) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    ASSERT_GT(got, 0);
    read += static_cast<size_t>(got);
  }
  // Open while it decodes: the read-ahead started goes on meanwhile.
  EXPECT_FALSE(waitUntil([&] { return service.objectBytesAsked() > read * 3 / 2; }, 500ms))
      << service.objectBytesAsked() << " bytes fetched for " << read;
  ::close(fd);
}

// A video thumbnailer reads its head, the index at its end and a frame a
// fifth in, a few hundred KiB at each: what is fetched stays near that.
// Read past the page cache, so that the kernel's own read-ahead (the
// benchmark's to count) does not blur what the daemon fetches.
TEST_F(LargeFileMountTest, APeekAtThreePlacesFetchesAtMostHalfAgainWhatItRead) {
  const size_t size = 64 << 20;
  std::string contents = patterned(size);
  service.setFile("mirror/clip.mp4", contents);
  MountedDomain mount(service);
  int fd = ::open((mount.root() / "clip.mp4").c_str(), O_RDONLY | O_DIRECT);
  ASSERT_GE(fd, 0);
  size_t read = 0;
  std::vector<char> buffer(220 << 10);
  for (auto [at, length] : {std::pair<size_t, size_t>{0, 32 << 10},
                            {size - 6000, 6000},
                            {48, 150 << 10},
                            {size / 5 + 1234, 210 << 10}}) {
    read += static_cast<size_t>(::pread(fd, buffer.data(), length, static_cast<off_t>(at)));
  }
  EXPECT_FALSE(waitUntil([&] { return service.objectBytesAsked() > read * 3 / 2; }, 500ms))
      << service.objectBytesAsked() << " bytes fetched for " << read;
  ::close(fd);
  // Read in order, the window grows all the same: to 16 MiB and more,
  // fetched by four streams at once.
  EXPECT_EQ(readFile(mount.root() / "clip.mp4").value_or("?"), contents);
  EXPECT_GE(service.largestObjectAsk(), fuse::kStreamsPerWindow * fuse::kMinStream);
}

TEST_F(LargeFileMountTest, RecordsWithoutASizeReadWholeAndAHostIgnoringRangesGivesTheRightBytes) {
  std::string large = patterned(3 << 20);
  service.setFile("mirror/large.bin", large);
  service.setFile("mirror/small.txt", "no size was listed");
  service.omitSizes(true);
  service.ignoreRanges(true);
  MountedDomain mount(service);
  EXPECT_EQ(readFile(mount.root() / "small.txt").value_or("?"), "no size was listed");
  EXPECT_EQ(readFile(mount.root() / "large.bin").value_or("?"), large);
  struct stat st {};
  ASSERT_EQ(::stat((mount.root() / "large.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(large.size()));
  // A new listing without sizes keeps the size the contents gave.
  mount.control("signal");
  ASSERT_EQ(::stat((mount.root() / "small.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 18);
}

TEST_F(LargeFileMountTest, AFileChangedWhileReadIsAnErrorNotMixedBytes) {
  std::string first = patterned(6 << 20, 1);
  service.setFile("mirror/log.bin", first);
  MountedDomain mount(service);
  int fd = ::open((mount.root() / "log.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buffer[4096];
  ASSERT_EQ(::pread(fd, buffer, sizeof buffer, 0), 4096);
  service.setFile("mirror/log.bin", patterned(6 << 20, 2));
  EXPECT_LT(::pread(fd, buffer, sizeof buffer, 5 << 20), 0);
  ::close(fd);
}

TEST_F(LargeFileMountTest, ACacheEntryDamagedWhileTheDaemonWasDownIsFetchedAgain) {
  std::string contents = patterned(2 << 20);
  service.setFile("mirror/photo.raw", contents);
  fs::path data;
  {
    MountedDomain mount(service);
    ASSERT_EQ(readFile(mount.root() / "photo.raw").value_or("?"), contents);
    data = mount.cacheFolder() / fuse::ContentCache::fileNameFor("mirror/photo.raw", "etag-1");
  }
  ASSERT_TRUE(fs::exists(data));
  {
    std::fstream file(data, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(fuse::kBlockSize * 3 + 17);
    file.put(static_cast<char>(contents[fuse::kBlockSize * 3 + 17] ^ 1));
  }
  uint64_t before = service.objectBytesAsked();
  MountedDomain again(service);
  EXPECT_EQ(readFile(again.root() / "photo.raw").value_or("?"), contents);
  EXPECT_GT(service.objectBytesAsked(), before);
}

TEST_F(LargeFileMountTest, TheCapHoldsWithManyLargeReaders) {
  std::vector<std::string> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(patterned(2 << 20, 10 + i));
    service.setFile("mirror/f" + std::to_string(i), files.back());
  }
  const uint64_t limit = 5 << 20;
  MountedDomain mount(service, limit);
  std::vector<std::future<bool>> readers;
  for (int i = 0; i < 6; ++i) {
    readers.push_back(std::async(std::launch::async, [&, i] {
      auto got = readFile(mount.root() / ("f" + std::to_string(i)));
      if (!got) std::fprintf(stderr, "reader %d: errno %d\n", i, got.error());
      return got.value_or("?") == files[i];
    }));
  }
  for (auto& reader : readers) EXPECT_TRUE(reader.get());
  uint64_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(mount.cacheFolder())) {
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  EXPECT_LE(bytes, limit + 64 * 1024);  // the data files, and their small maps
}

TEST_F(LargeFileMountTest, ListingsAndLookUpsAnswerWhileManyLargeTransfersHang) {
  std::string contents = patterned(2 << 20);
  for (int i = 0; i < 64; ++i) service.setFile("mirror/videos/v" + std::to_string(i), contents);
  service.setFile("mirror/docs/a.txt", "a");
  MountedDomain mount(service);
  ASSERT_EQ(::access((mount.root() / "videos").c_str(), F_OK), 0);
  // Every transfer past the first blocks hangs.
  service.stallObjectsFrom(fuse::kBlockSize);
  std::vector<std::future<bool>> readers;
  for (int i = 0; i < 64; ++i) {
    readers.push_back(std::async(std::launch::async, [&, i] {
      return readFile(mount.root() / "videos" / ("v" + std::to_string(i))).value_or("?") ==
             contents;
    }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto metadata = std::async(std::launch::async, [&] {
    struct stat st {};
    return ::stat((mount.root() / "docs" / "a.txt").c_str(), &st) == 0 && st.st_size == 1;
  });
  bool answered = metadata.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
  service.releaseStalls();  // before any wait for the readers, whatever happened
  EXPECT_TRUE(answered);
  EXPECT_TRUE(metadata.get());
  for (auto& reader : readers) EXPECT_TRUE(reader.get());
}

}  // namespace
}  // namespace lumora::testing
