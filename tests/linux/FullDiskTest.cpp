// Files read when the cache's disk has no room: the real extension against
// a local service, with a disk that says it is nearly full.

#include <sys/mount.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "shared/Identifiers.h"
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

TEST_F(FullDiskTest, EveryFileIsReadAtOnceWithNoByteFree) {
  if (!fuseAvailable()) GTEST_SKIP() << "no FUSE here";
  std::string tiny = "tiny", small = patterned(300 << 10, 3), large = patterned(3 << 20, 4);
  std::string kept = patterned(600 << 10, 5);
  // Folders of their own: a read never fetches the other ahead.
  for (auto [name, contents] :
       {std::pair{"tiny", tiny}, std::pair{"small", small}, std::pair{"large", large},
        std::pair{"a/kept", kept}, std::pair{"b/small", small}}) {
    service.setFile(std::string("mirror/") + name, contents);
  }
  // The cache's folder, and the downloads in it, on a small disk.
  fs::path folder = fuse::contentCacheFolder(shared::kDomainIdentifier).parent_path();
  fs::create_directories(folder);
  if (::mount("lumora-test", folder.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(folder.c_str(), MNT_DETACH); });
  auto fill = [&] {
    std::ofstream filler(folder / "filler", std::ios::binary);
    std::string chunk(4096, 'x');
    while (filler.write(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
    }
  };
  {
    MountedDomain domain(service);
    ASSERT_TRUE(domain.mounted());
    fill();
    for (auto [name, contents] :
         {std::pair{"tiny", tiny}, std::pair{"small", small}, std::pair{"large", large}}) {
      fs::path path = domain.root() / name;
      int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0) << name << ": " << std::strerror(errno);
      char state[32] = {};
      EXPECT_GT(::getxattr(path.c_str(), "user.lumora.state", state, sizeof state - 1), 0);
      EXPECT_STREQ(state, "streaming") << name;
      auto read = readFile(path);
      ::close(fd);
      ASSERT_TRUE(read.has_value()) << name << ": " << std::strerror(read.error());
      EXPECT_TRUE(*read == contents) << name;
    }
    // A download the full disk cut short while the cache could make room.
    fs::remove(folder / "filler");
    EXPECT_TRUE(readFile(domain.root() / "a" / "kept") == kept);
    fill();
    EXPECT_TRUE(readFile(domain.root() / "b" / "small") == small);
    // A local write that failed is no fault of the way: nothing asked again.
    EXPECT_EQ(domain.retryTime().pauses(), 0);
  }
}

}  // namespace
}  // namespace lumora::testing
