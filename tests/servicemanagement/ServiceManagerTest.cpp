// Both service-manager tables, their command lines run by a real shell
// against fake systemctl and launchctl scripts that log their arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/foundation/ProcessRunner.h"
#include "platform/servicemanagement/ServiceManager.h"
#include "tests/fixtures/TempHome.h"

namespace lumora::servicemanagement {
namespace {
namespace fs = std::filesystem;

// Runs `command` with /bin/sh, the fake tools first on PATH; returns what the
// fake logged, one argument a line.
class FakeManagers : public ::testing::Test {
 protected:
  FakeManagers() {
    fs::create_directories(bin());
    for (const char* name : {"systemctl", "launchctl"}) {
      std::ofstream(bin() / name) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >>\""
                                  << log().string() << "\"; done\necho noise >&2\n";
      fs::permissions(bin() / name, fs::perms::owner_all);
    }
  }
  std::string run(const std::string& command) {
    const char* path = std::getenv("PATH");
    auto result = runProcess("/bin/sh",
                             {"-c", "PATH=\"" + bin().string() + ":" +
                                        std::string(path ? path : "/bin") + "\"; " + command},
                             OutputCapture::stdoutAndStderr);
    EXPECT_TRUE(result && result->succeeded());
    if (result) {
      EXPECT_EQ(result->bytes, "") << "standard error should be discarded";
    }
    std::ifstream in(log());
    std::stringstream text;
    text << in.rdbuf();
    fs::remove(log());
    return text.str();
  }
  fs::path bin() const { return home.root() / "bin"; }
  fs::path log() const { return home.root() / "args.log"; }
  testing::TempHome home;
};

TEST_F(FakeManagers, SystemdStartsAndStopsUserUnits) {
  const auto& table = systemdServiceManager();
  EXPECT_EQ(
      table.listCommand,
      "systemctl --user list-units --type=service --state=active --plain --no-legend 2>/dev/null");
  EXPECT_EQ(table.switchCommand(true, "com.lumora.mirror", "/home/x"),
            "systemctl --user start 'com.lumora.mirror.service' 2>/dev/null");
  EXPECT_EQ(run(table.switchCommand(false, "com.lumora.evict", "/home/x")),
            "--user\nstop\ncom.lumora.evict.service\n");
  EXPECT_EQ(run(table.listCommand),
            "--user\nlist-units\n--type=service\n--state=active\n--plain\n--no-legend\n");
  EXPECT_EQ(agentFile(table, home.home().string(), "com.lumora.swap"),
            home.home().string() + "/.config/systemd/user/com.lumora.swap.service");
}

TEST_F(FakeManagers, LaunchctlLoadsPlistPathsAsOneWord) {
  const auto& table = launchctlServiceManager();
  const std::string odd = "/Users/Ada Lovelace's $HOME";
  EXPECT_EQ(table.listCommand, "launchctl list 2>/dev/null");
  EXPECT_EQ(table.switchCommand(true, "com.lumora.mirror", "/Users/ada"),
            "launchctl load '/Users/ada/Library/LaunchAgents/com.lumora.mirror.plist' 2>/dev/null");
  EXPECT_EQ(run(table.switchCommand(true, "com.lumora.mirror", odd)),
            "load\n" + odd + "/Library/LaunchAgents/com.lumora.mirror.plist\n");
  EXPECT_EQ(run(table.switchCommand(false, "com.lumora.evict", odd)),
            "unload\n" + odd + "/Library/LaunchAgents/com.lumora.evict.plist\n");
  EXPECT_EQ(agentFile(table, "/Users/ada", "dev.lumora.swap"),
            "/Users/ada/Library/LaunchAgents/dev.lumora.swap.plist");
}

TEST(CurrentServiceManagerTest, IsThePlatformsTable) {
#ifdef __APPLE__
  EXPECT_EQ(&currentServiceManager(), &launchctlServiceManager());
#else
  EXPECT_EQ(&currentServiceManager(), &systemdServiceManager());
#endif
}

}  // namespace
}  // namespace lumora::servicemanagement
