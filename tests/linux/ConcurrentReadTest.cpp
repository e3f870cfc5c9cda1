// Many readers at once through one mount.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/linux/MountedDomain.h"

namespace lumora::testing {
namespace {

TEST(ConcurrentReadTest, FiftyReadersOfDifferentFilesAndTenOfOneShareItsBytes) {
  if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
  TempHome home;
  StorageService service;
  writeToken(service.token());
  for (int i = 0; i < 50; ++i) {
    service.setFile("mirror/many/f" + std::to_string(i), std::string(2000 + i, 'a' + i % 26));
  }
  service.setFile("mirror/shared.bin", std::string(3 << 20, 's'));
  MountedDomain mount(service);

  std::vector<std::string> results(50);
  std::vector<std::thread> readers;
  readers.reserve(50);
  for (int i = 0; i < 50; ++i) {
    readers.emplace_back([&, i] {
      results[i] = readFile(mount.root() / "many" / ("f" + std::to_string(i))).value_or("failed");
    });
  }
  for (auto& t : readers) t.join();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(results[i], std::string(2000 + i, 'a' + i % 26)) << i;
  }
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 50u);

  service.server().clearRecords();
  uint64_t smallBytes = service.objectBytesAsked();
  std::vector<std::string> same(10);
  readers.clear();
  for (int i = 0; i < 10; ++i) {
    readers.emplace_back(
        [&, i] { same[i] = readFile(mount.root() / "shared.bin").value_or("failed"); });
  }
  for (auto& t : readers) t.join();
  for (const auto& contents : same) EXPECT_TRUE(contents == std::string(3 << 20, 's'));
  // A large file comes block by block: one URL, and each block once.
  EXPECT_EQ(service.requestsTo("/storage/download-url"), 1u);
  EXPECT_EQ(mount.extension().fetches, 50);
  EXPECT_EQ(service.objectBytesAsked() - smallBytes, 3u << 20);
}

}  // namespace
}  // namespace lumora::testing
