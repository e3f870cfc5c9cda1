// The connection sequence driving the real domain manager: the daemon is
// started for the domain, mounts it in the temporary home, and serves the
// service's files with the token that the hand-off left for it.
#include <gtest/gtest.h>
#include <signal.h>

#include <QSignalSpy>

#include "host/core/LumoraHostApp.h"
#include "platform/fileprovider/linux/control/LinuxDomainManager.h"
#include "platform/fileprovider/linux/control/MountTable.h"
#include "platform/foundation/Paths.h"
#include "shared/Identifiers.h"
#include "tests/host/HostTestSupport.h"
#include "tests/linux/MountedDomain.h"

namespace lumora::host {
namespace {
namespace fs = std::filesystem;
using fileprovider::LinuxDomainManager;

class RealDomainConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent";
    ::setenv("LUMORA_TEST_API_BASE", service.baseUrl().c_str(), 1);
    service.setFile("mirror/docs/a.txt", "served a");
  }
  void TearDown() override {
    if (auto pid = LinuxDomainManager::daemonProcess(domain)) ::kill(*pid, SIGKILL);
    fuse::detachMount(LinuxDomainManager::hiddenMountpoint(domain));
    ::unsetenv("LUMORA_TEST_API_BASE");
  }
  // A link to the mount, as users see it.
  fs::path mountpoint() const { return fixture.home() / shared::kDomainDisplayName; }

  testing::HostFixture fixture;
  testing::StorageService service;
  testing::RecordingClock clock;
  fileprovider::Domain domain{shared::kDomainIdentifier, shared::kDomainDisplayName};
  LinuxDomainManager manager{fs::path(LUMORA_TEST_DAEMON), std::chrono::seconds(10)};
};

TEST_F(RealDomainConnectTest, ConnectMountsTheDomainWithTheHandedOffToken) {
  fixture.temp.write(".lumora/auth/token", service.token() + "\n");
  ConnectSettings settings = ConnectSettings::standard(&manager);
  settings.statusFile = fixture.temp.root() / "lumora-host-status.txt";
  LumoraHostApp app(fixture.environment(clock), settings);
  QSignalSpy finished(&app, &LumoraHostApp::connectFinished);
  app.startup();
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_EQ(app.status(), QStringLiteral("Connected — Lumora is available in Finder."));
  EXPECT_EQ(testing::slurp(settings.statusFile), app.status().toStdString());
  ASSERT_TRUE(LinuxDomainManager::daemonProcess(domain).has_value());
  EXPECT_EQ(testing::readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");

  // Connecting again removes and re-adds: a fresh daemon serves the same files.
  auto firstDaemon = LinuxDomainManager::daemonProcess(domain);
  app.connect();
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_TRUE(app.statusIsConnected());
  EXPECT_NE(LinuxDomainManager::daemonProcess(domain), firstDaemon);
  EXPECT_EQ(testing::readFile(mountpoint() / "docs/a.txt").value_or("?"), "served a");
}

}  // namespace
}  // namespace lumora::host
