// Files read when the cache's disk has no room: the real extension against
// a local service, with a disk that says it is nearly full.

#include <gtest/gtest.h>

#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "tests/linux/MountedDomain.h"
#include "tests/linux/Patterned.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;

// The whole file through the core's reads, as the kernel would ask for it.
std::string readThrough(fuse::DomainFilesystem& filesystem, fuse::OpenedFile& file, uint64_t size) {
  std::string out;
  while (out.size() < size) {
    auto span = filesystem.read(file, out.size(), 128 * 1024);
    if (!span || span->length == 0) break;
    if (span->fd < 0) {
      out += span->bytes;
      continue;
    }
    std::string part(span->length, '\0');
    if (::pread(span->fd, part.data(), part.size(), static_cast<off_t>(span->offset)) !=
        static_cast<ssize_t>(part.size())) {
      break;
    }
    out += part;
  }
  return out;
}

size_t cachedFiles(const fs::path& folder) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) count += entry.is_regular_file();
  return count;
}

class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override { writeToken(service.token()); }
  TempHome home;
  StorageService service;
  std::unique_ptr<CountingExtension> extension = makeExtension(service);
};

TEST_F(FullDiskTest, ASmallFileTheCacheCannotNameIsFetchedOnceAndServed) {
  service.setFile("mirror/small.txt", "small contents");
  fuse::ContentCache cache(home.root() / "cache", 0);  // no room below the limit
  ASSERT_TRUE(cache.prepare().has_value());
  fuse::DomainFilesystem filesystem(*extension, cache);
  auto node = filesystem.lookup(fuse::kRootInode, "small.txt");
  ASSERT_TRUE(node.has_value());
  auto opened = filesystem.openFile(node->inode, O_RDONLY);
  ASSERT_TRUE(opened.has_value()) << opened.error().description;
  EXPECT_EQ(readThrough(filesystem, **opened, 14), "small contents");
  EXPECT_EQ(extension->fetches, 1);
}

TEST_F(FullDiskTest, FilesAreReadThroughMemoryAndSaySoWhenTheDiskIsFull) {
  std::string large = patterned(12 << 20);  // more than the memory window
  std::string small = patterned(600 << 10, 2);
  service.setFile("mirror/small.txt", small);
  service.setFile("mirror/large.bin", large);
  fuse::DiskSpace disk{1 << 20, 100ULL << 30};  // 1 MiB free
  fuse::ContentCache cache(home.root() / "cache", 1ULL << 30,
                           [&](const fs::path&) { return std::optional(disk); });
  ASSERT_TRUE(cache.prepare().has_value());
  fuse::DomainFilesystem filesystem(*extension, cache);
  for (auto [name, contents] : {std::pair{"small.txt", small}, std::pair{"large.bin", large}}) {
    auto node = filesystem.lookup(fuse::kRootInode, name);
    ASSERT_TRUE(node.has_value());
    auto opened = filesystem.openFile(node->inode, O_RDONLY);
    ASSERT_TRUE(opened.has_value()) << name << ": " << opened.error().description;
    EXPECT_EQ(filesystem.extendedAttribute(node->inode, fuse::kStateAttribute), "streaming");
    EXPECT_TRUE(readThrough(filesystem, **opened, contents.size()) == contents) << name;
    EXPECT_LE((*opened)->lease.entry().blocksInMemory(), fuse::kStreamWindowBlocks);
    opened->reset();
    EXPECT_TRUE(waitUntil([&] {
      return filesystem.extendedAttribute(node->inode, fuse::kStateAttribute) == "cloud";
    }));
  }
  EXPECT_EQ(cachedFiles(cache.directory()), 0u);
}

}  // namespace
}  // namespace lumora::testing
