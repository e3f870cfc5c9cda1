// Keeping files on this device with lumora-files, a real child process,
// against a real mount and its daemon's control socket.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/fileprovider/linux/driver/Retry.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/MountedDomain.h"
#include "tests/tools/Subprocess.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

std::string stateOf(const fs::path& path) {
  char value[64];
  ssize_t size = ::getxattr(path.c_str(), "user.lumora.state", value, sizeof value);
  return size < 0 ? std::string() : std::string(value, static_cast<size_t>(size));
}

ProcessResult files(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), LUMORA_FILES_TOOL);
  return runProcess(arguments);
}

json report(MountedDomain& mount) {
  std::string answer = mount.control("report");
  return answer.starts_with("ok ") ? json::parse(answer.substr(3)) : json();
}

std::string firstStage(MountedDomain& mount) {
  auto keeps = report(mount).value("keeps", json::array());
  return keeps.empty() ? std::string() : keeps[0].value("stage", "");
}

class KeepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
    writeToken(service.token());
    for (int i = 0; i < 5; ++i) service.setFile("mirror/album/p" + std::to_string(i), contents(i));
    service.setFile("mirror/album/sub/deep", contents(5));
    for (int i = 0; i < 3; ++i) service.setFile("mirror/loose" + std::to_string(i), contents(9));
  }
  static std::string contents(int i) { return std::string(3000, static_cast<char>('a' + i)); }
  std::vector<fs::path> album(MountedDomain& mount) {
    std::vector<fs::path> paths{mount.root() / "album/sub/deep"};
    for (int i = 0; i < 5; ++i) paths.push_back(mount.root() / ("album/p" + std::to_string(i)));
    return paths;
  }
  TempHome home;
  StorageService service;
};

TEST_F(KeepTest, AKeptFolderReadsWholeAfterARestartWithTheServiceAway) {
  {
    MountedDomain mount(service);
    auto kept = files({"keep", (mount.root() / "album").string()});
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    ASSERT_TRUE(waitUntil([&] { return firstStage(mount) == "kept"; }, 10s));
    EXPECT_EQ(stateOf(mount.root() / "album/sub/deep"), "kept");
    EXPECT_EQ(stateOf(mount.root() / "loose0"), "cloud");
  }
  service.server().refuseConnections();
  MountedDomain mount(service);
  auto paths = album(mount);
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(readFile(paths[i]).value_or("?"), contents(i == 0 ? 5 : static_cast<int>(i) - 1));
  }
  // Its first walk after the start finds everything here, with no service.
  ASSERT_TRUE(waitUntil([&] { return firstStage(mount) == "kept"; }, 10s));
  auto status = files({"status", (mount.root() / "album/p1").string()});
  EXPECT_NE(status.out.find("kept with album: kept, 17.6 KiB"), std::string::npos) << status.out;
}

TEST_F(KeepTest, FreeingAFolderShrinksTheCacheAndAnOpenFileGoesWhenClosed) {
  MountedDomain mount(service);
  ASSERT_EQ(files({"keep", (mount.root() / "album").string()}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return firstStage(mount) == "kept"; }, 10s));
  EXPECT_EQ(report(mount)["used"], 6 * 3000);
  int held = ::open((mount.root() / "album/p0").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  auto freed = files({"free", (mount.root() / "album").string()});
  EXPECT_EQ(freed.exitCode, 0) << freed.err;
  EXPECT_TRUE(report(mount)["keeps"].empty());
  EXPECT_EQ(report(mount)["used"], 3000);  // the open file's, until it is closed
  EXPECT_EQ(stateOf(mount.root() / "album/p1"), "cloud");
  ::close(held);
  EXPECT_TRUE(waitUntil([&] { return report(mount)["used"] == 0; }, 5s));
}

TEST_F(KeepTest, LoweringTheLimitEvictsWhatIsNotKept) {
  MountedDomain mount(service);
  ASSERT_EQ(files({"keep", (mount.root() / "album").string()}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return firstStage(mount) == "kept"; }, 10s));
  // Used after the kept ones: the least recently used are the kept.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(readFile(mount.root() / ("loose" + std::to_string(i))));
  home.write(".config/lumora/fileprovider.conf", "# for the test\ncache-size = 19000 \n");
  mount.daemon().reloadSettings();
  // Those the kernel had yet to close go as it closes them.
  for (int i = 0; i < 3; ++i) {
    auto path = mount.root() / ("loose" + std::to_string(i));
    EXPECT_TRUE(waitUntil([&] { return stateOf(path) == "cloud"; }, 5s)) << path;
  }
  for (const auto& path : album(mount)) EXPECT_EQ(stateOf(path), "kept") << path;
  auto status = files({"status"});
  EXPECT_NE(status.out.find("cache 17.6 KiB used of 18.6 KiB, 17.6 KiB kept"), std::string::npos)
      << status.out;
}

TEST_F(KeepTest, PathsOutsideTheMountAndKeepsLargerThanTheCacheAreRefused) {
  MountedDomain mount(service, 10000);
  auto outside = files({"keep", home.root().string()});
  EXPECT_EQ(outside.exitCode, 1);
  EXPECT_NE(outside.err.find("it is not in a Lumora folder"), std::string::npos) << outside.err;
  EXPECT_EQ(mount.control("free /etc"), "error it is not in " + mount.root().string());
  auto elsewhere = files({"--domain", "elsewhere", "keep", (mount.root() / "album").string()});
  EXPECT_NE(elsewhere.err.find("the domain elsewhere is not mounted"), std::string::npos);
  auto missing = files({"keep", (mount.root() / "nothing").string()});
  EXPECT_NE(missing.err.find("no such file or folder"), std::string::npos) << missing.err;
  ASSERT_TRUE(readFile(mount.root() / "loose0"));
  auto big = files({"keep", (mount.root() / "album").string()});
  EXPECT_EQ(big.exitCode, 1);
  EXPECT_NE(big.err.find("more than the cache's limit of 9.8 KiB; nothing was kept"),
            std::string::npos)
      << big.err;
  // Nothing half-kept, nothing evicted.
  EXPECT_TRUE(report(mount)["keeps"].empty());
  EXPECT_EQ(stateOf(mount.root() / "album/p0"), "cloud");
  EXPECT_EQ(stateOf(mount.root() / "loose0"), "cached");
}

TEST_F(KeepTest, KeepsAndTheOverviewGoByThePathUsersSee) {
  fs::path seen = home.home() / "Seen";
  MountedDomain mount(service, fuse::kContentCacheLimit, seen);
  auto kept = files({"keep", (seen / "loose1").string()});
  EXPECT_EQ(kept.exitCode, 0) << kept.err;
  EXPECT_EQ(mount.control("free " + (seen / "loose2").string()), "ok");
  EXPECT_TRUE(waitUntil([&] { return firstStage(mount) == "kept"; }));
  auto overview = files({"status"});
  EXPECT_NE(overview.out.find(" at " + seen.string() + ": "), std::string::npos) << overview.out;
  EXPECT_NE(overview.out.find((seen / "loose1").string() + ": kept"), std::string::npos);
}

TEST_F(KeepTest, AKeepThatFindsTheServiceAwayWaitsAndResumesWhenItIsBack) {
  MountedDomain mount(service);
  ASSERT_EQ(readFile(mount.root() / "album/p0").value_or("?"), contents(0));
  ASSERT_TRUE(fs::exists(mount.root() / "album/sub/deep"));
  service.server().refuseConnections();
  ASSERT_EQ(files({"keep", (mount.root() / "album").string()}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return firstStage(mount) == "waiting"; }, 10s));
  auto status = files({"status"});
  EXPECT_NE(status.out.find("offline"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("resumes when it is back"), std::string::npos) << status.out;

  service.server().acceptConnections();
  mount.retryTime().sleep(fuse::RetryLimits{}.maxProbeDelay);  // a probe is due
  EXPECT_TRUE(waitUntil(
      [&] {
        (void)mount.control("signal NSFileProviderRootContainerItemIdentifier");
        return firstStage(mount) == "kept";
      },
      10s));
  for (const auto& path : album(mount)) EXPECT_EQ(stateOf(path), "kept") << path;
}

}  // namespace
}  // namespace lumora::testing
