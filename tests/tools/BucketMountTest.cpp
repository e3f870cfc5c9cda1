// The whole product against a bucket: the daemon, started by the domain
// manager as the host starts it, mounts ~/Lumora for real and reads files
// whose bytes come straight from the S3-compatible store.

#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "platform/fileprovider/linux/control/LinuxDomainManager.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/foundation/Paths.h"
#include "shared/Identifiers.h"
#include "tests/linux/MountedDomain.h"
#include "tests/tools/S3StoreProcess.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using fileprovider::Domain;
using fileprovider::LinuxDomainManager;

std::string patterned(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + (i >> 12)) & 0xff);
  return out;
}

class BucketMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
    ASSERT_TRUE(store.ready()) << "s3rver did not start; run scripts/install-deps";
  }
  void TearDown() override {
    if (auto pid = LinuxDomainManager::daemonProcess(domain)) ::kill(*pid, SIGKILL);
    fuse::detachMount(mountpoint());
    ::unsetenv("LUMORA_TEST_API_BASE");
  }
  fs::path mountpoint() const { return LinuxDomainManager::hiddenMountpoint(domain); }

  TempHome home;
  S3StoreProcess store;
  Domain domain{shared::kDomainIdentifier, shared::kDomainDisplayName};
  LinuxDomainManager manager{fs::path(LUMORA_TEST_DAEMON), std::chrono::seconds(10)};
};

TEST_F(BucketMountTest, TheMountShowsTheBucketAndReadsItsFilesBack) {
  const std::string big = patterned(3 << 20);  // read through ranged GETs on the store
  ASSERT_TRUE(store.putMirror("mirror/docs/a.txt", "served from the bucket"));
  ASSERT_TRUE(store.putMirror("mirror/docs/big.bin", big));
  ASSERT_TRUE(store.putMirror("mirror/odd name+1.txt", "odd"));
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(store.putMirror("mirror/many/f" + std::to_string(i), std::to_string(i)));
  }
  ServiceProcess service(store.storage({"--page-size", "5"}), {}, false);
  ASSERT_TRUE(service.ready());
  ::setenv("LUMORA_TEST_API_BASE", service.url().c_str(), 1);
  writeToken(service.token());

  auto added = manager.addDomainNow(domain);
  ASSERT_FALSE(added.has_value()) << added->description;
  ASSERT_TRUE(fuse::isMountPoint(mountpoint()));

  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(mountpoint())) top.insert(e.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"docs", "many", "odd name+1.txt"}));
  std::size_t many = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(mountpoint() / "many")) ++many;
  EXPECT_EQ(many, 12u);  // three pages of the service, each one page of the store
  EXPECT_EQ(fs::file_size(mountpoint() / "docs/big.bin"), big.size());

  EXPECT_EQ(readFile(mountpoint() / "docs/a.txt").value_or("?"), "served from the bucket");
  EXPECT_EQ(readFile(mountpoint() / "odd name+1.txt").value_or("?"), "odd");
  auto read = readFile(mountpoint() / "docs/big.bin");
  ASSERT_TRUE(read.has_value()) << "errno " << read.error();
  EXPECT_TRUE(*read == big);
  auto none = readFile(mountpoint() / "docs/none.txt");
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error(), ENOENT);

  EXPECT_FALSE(manager.removeDomainNow(domain).has_value());
  EXPECT_FALSE(fuse::isMountPoint(mountpoint()));
}

}  // namespace
}  // namespace lumora::testing
