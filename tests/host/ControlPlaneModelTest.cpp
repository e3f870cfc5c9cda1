// Feature detection and switching against a fake service manager and tool,
// both shell scripts that keep their state in files as the real ones do.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "host/core/controlplane/ControlPlaneModel.h"
#include "tests/host/HostTestSupport.h"

namespace lumora::host {
namespace {
namespace fs = std::filesystem;
namespace sm = servicemanagement;
using namespace std::chrono_literals;
using testing::eventually;
using testing::HostFixture;
using testing::RecordingClock;

// systemctl --user: start/stop mark units active; list-units prints them.
constexpr const char* kFakeSystemctl = R"(state="$LUMORA_TEST_LOG.units"; mkdir -p "$state"
echo "systemctl $*" >>"$LUMORA_TEST_LOG"
case "$2" in
  list-units) for f in "$state"/*; do [ -e "$f" ] && printf '%s loaded active running Lumora\n' "${f##*/}"; done ;;
  start) touch "$state/$3" ;;
  stop) rm -f "$state/$3" ;;
esac
exit 0)";

// launchctl: load/unload a plist path; list prints "PID Status Label".
constexpr const char* kFakeLaunchctl = R"(state="$LUMORA_TEST_LOG.jobs"; mkdir -p "$state"
echo "launchctl $*" >>"$LUMORA_TEST_LOG"
case "$1" in
  list) echo "PID	Status	Label"; for f in "$state"/*; do [ -e "$f" ] && printf -- '-\t0\t%s\n' "${f##*/}"; done ;;
  load) n="${2##*/}"; touch "$state/${n%.plist}" ;;
  unload) n="${2##*/}"; rm -f "$state/${n%.plist}" ;;
esac)";

// The tool: logs its words; "swap enable" and friends leave the markers.
constexpr const char* kFakeTool = R"(echo "lumora $*" >>"$LUMORA_TEST_LOG"
units="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
case "$1 $2" in
  "swap enable") mkdir -p "$units"; : >"$units/com.lumora.swap.service" ;;
  "swap disable") rm -f "$units/com.lumora.swap.service" "$units/dev.lumora.swap.service" ;;
  "box start") mkdir -p "$HOME/.lumora/box"; echo '{}' >"$HOME/.lumora/box/state.json" ;;
  "box stop") rm -f "$HOME/.lumora/box/state.json" ;;
  "gpu start") mkdir -p "$HOME/.lumora/state"; : >"$HOME/.lumora/state/gpu-host" ;;
  "gpu stop") rm -f "$HOME/.lumora/state/gpu-host" ;;
esac)";

class ControlPlaneModelTest : public ::testing::Test {
 protected:
  ControlPlaneModelTest() {
    testing::writeScript(fixture.binDir() / "systemctl", kFakeSystemctl);
    testing::writeScript(fixture.binDir() / "launchctl", kFakeLaunchctl);
    fixture.writeTool(kFakeTool);
  }
  const Pillar& pillar(const ControlPlaneModel& model, const char* id) {
    for (const auto& p : model.pillars()) {
      if (p.id == QLatin1String(id)) return p;
    }
    throw std::runtime_error("no such pillar");
  }
  void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path).flush();
  }
  fs::path units() const { return fixture.home() / ".config/systemd/user"; }
  void activate(const char* unit) { touch(fs::path(fixture.log().string() + ".units") / unit); }

  HostFixture fixture;
  RecordingClock clock;
};

TEST_F(ControlPlaneModelTest, RefreshBuildsFourIdlePillarsFromNothing) {
  ControlPlaneModel model(fixture.environment(clock));
  EXPECT_TRUE(model.pillars().isEmpty());
  QSignalSpy changed(&model, &ControlPlaneModel::pillarsChanged);
  model.refresh();
  EXPECT_EQ(changed.count(), 1);
  ASSERT_EQ(model.pillars().size(), 4);
  const char* ids[] = {"disk", "memory", "compute", "gpu"};
  for (int i = 0; i < 4; ++i) {
    const Pillar& p = model.pillars()[i];
    EXPECT_EQ(p.id, QLatin1String(ids[i]));
    EXPECT_FALSE(p.on);
    EXPECT_EQ(p.status, QStringLiteral("off"));
    EXPECT_TRUE(p.toggleable);
    EXPECT_FALSE(p.busy);
  }
  EXPECT_EQ(model.pillars()[0].title, QStringLiteral("Disk expansion"));
  EXPECT_EQ(model.pillars()[1].detail,
            QStringLiteral("frees 1–4 GB by pausing apps you're not using"));
  EXPECT_EQ(model.pillars()[3].detail,
            QStringLiteral("run AI your laptop can't — billed only while on"));
  // The job list came from the user's service manager.
  EXPECT_EQ(testing::lines(fixture.log()),
            std::vector<std::string>{
                "systemctl --user list-units --type=service --state=active --plain --no-legend"});
}

TEST_F(ControlPlaneModelTest, DetectsFeaturesFromJobsAndMarkers) {
  ControlPlaneModel model(fixture.environment(clock));
  activate("com.lumora.mirror.service");
  touch(units() / "dev.lumora.swap.service");                         // only the dev marker
  fs::create_directories(fixture.home() / ".lumora/box/state.json");  // a folder counts
  touch(fixture.home() / ".lumora/state/gpu-host");
  model.refresh();
  EXPECT_FALSE(pillar(model, "disk").on);  // evict is missing
  EXPECT_TRUE(pillar(model, "memory").on);
  EXPECT_EQ(pillar(model, "memory").status, QStringLiteral("ready"));
  EXPECT_EQ(pillar(model, "compute").status, QStringLiteral("workspace ready"));
  EXPECT_EQ(pillar(model, "gpu").status, QStringLiteral("running (billing)"));

  activate("xcom.lumora.evict.extra.service");  // a longer name containing the label counts
  model.refresh();
  EXPECT_TRUE(pillar(model, "disk").on);
  EXPECT_EQ(pillar(model, "disk").status, QStringLiteral("freeing space"));
}

TEST_F(ControlPlaneModelTest, UnknownIdAndEmptyListDoNothing) {
  ControlPlaneModel model(fixture.environment(clock));
  QSignalSpy changed(&model, &ControlPlaneModel::pillarsChanged);
  model.toggle(QStringLiteral("disk"));  // no refresh yet
  model.refresh();
  model.toggle(QStringLiteral("Disk"));
  model.toggle(QStringLiteral("swap"));
  QTest::qWait(100);
  EXPECT_EQ(changed.count(), 1);
  EXPECT_TRUE(clock.sleeps().empty());
  EXPECT_EQ(testing::lines(fixture.log()).size(), 1u);  // the one job list
}

TEST_F(ControlPlaneModelTest, DiskSwitchesBothAgentsInOrderAndWaitsShort) {
  ControlPlaneModel model(fixture.environment(clock));
  model.refresh();
  QSignalSpy changed(&model, &ControlPlaneModel::pillarsChanged);
  model.toggle(QStringLiteral("disk"));
  // Synchronously: busy, still off.
  ASSERT_EQ(changed.count(), 1);
  EXPECT_TRUE(pillar(model, "disk").busy);
  EXPECT_FALSE(pillar(model, "disk").on);
  ASSERT_TRUE(eventually([&] { return !pillar(model, "disk").busy; }));
  EXPECT_TRUE(pillar(model, "disk").on);
  EXPECT_EQ(clock.sleeps(), std::vector<std::chrono::nanoseconds>{1200ms});

  model.toggle(QStringLiteral("disk"));
  ASSERT_TRUE(eventually([&] { return !pillar(model, "disk").busy; }));
  EXPECT_FALSE(pillar(model, "disk").on);
  auto log = testing::lines(fixture.log());
  std::vector<std::string> switching;
  for (const auto& line : log) {
    if (line.find(" start ") != std::string::npos || line.find(" stop ") != std::string::npos) {
      switching.push_back(line);
    }
  }
  EXPECT_EQ(switching,
            (std::vector<std::string>{"systemctl --user start com.lumora.mirror.service",
                                      "systemctl --user start com.lumora.evict.service",
                                      "systemctl --user stop com.lumora.mirror.service",
                                      "systemctl --user stop com.lumora.evict.service"}));
}

TEST_F(ControlPlaneModelTest, ToolFeaturesRunTheirWordsAndWaitLongForComputeAndGpu) {
  ControlPlaneModel model(fixture.environment(clock));
  model.refresh();
  for (const char* id : {"memory", "compute", "gpu"}) {
    model.toggle(QString::fromUtf8(id));
    ASSERT_TRUE(eventually([&] { return !pillar(model, id).busy; })) << id;
    EXPECT_TRUE(pillar(model, id).on) << id;
  }
  model.toggle(QStringLiteral("gpu"));
  ASSERT_TRUE(eventually([&] { return !pillar(model, "gpu").busy; }));
  EXPECT_FALSE(pillar(model, "gpu").on);
  EXPECT_EQ(clock.sleeps(), (std::vector<std::chrono::nanoseconds>{1200ms, 4s, 4s, 4s}));
  std::vector<std::string> toolCalls;
  for (const auto& line : testing::lines(fixture.log())) {
    if (line.starts_with("lumora ")) toolCalls.push_back(line);
  }
  EXPECT_EQ(toolCalls, (std::vector<std::string>{"lumora swap enable", "lumora box start",
                                                 "lumora gpu start", "lumora gpu stop"}));
}

TEST_F(ControlPlaneModelTest, FailingToolLeavesTheOldStateAndClearsBusy) {
  fixture.writeTool("echo broken >&2; exit 1");
  ControlPlaneModel model(fixture.environment(clock));
  model.refresh();
  model.toggle(QStringLiteral("compute"));
  EXPECT_TRUE(pillar(model, "compute").busy);
  ASSERT_TRUE(eventually([&] { return !pillar(model, "compute").busy; }));
  EXPECT_FALSE(pillar(model, "compute").on);
}

TEST_F(ControlPlaneModelTest, TwoSwitchesAtOnceBothSettle) {
  ControlPlaneModel model(fixture.environment(clock));
  model.refresh();
  model.toggle(QStringLiteral("memory"));
  model.toggle(QStringLiteral("gpu"));
  EXPECT_TRUE(pillar(model, "memory").busy);
  EXPECT_TRUE(pillar(model, "gpu").busy);
  ASSERT_TRUE(eventually([&] {
    return clock.sleeps().size() == 2 && !pillar(model, "memory").busy &&
           !pillar(model, "gpu").busy;
  }));
  EXPECT_TRUE(pillar(model, "memory").on);
  EXPECT_TRUE(pillar(model, "gpu").on);
}

TEST_F(ControlPlaneModelTest, LaunchctlTableDrivesLaunchctlWithQuotedPlistPaths) {
  // A home with a space: the plist path must stay one word.
  fs::path home = fixture.temp.root() / "Ada Lovelace";
  fs::create_directories(home);
  HostEnvironment environment = fixture.environment(clock);
  environment.runner = CommandRunner(home, CommandRunner::defaultShell());
  environment.runner.setEnvironment(testing::environmentNow());
  environment.serviceManager = &sm::launchctlServiceManager();
  ControlPlaneModel model(environment);
  touch(home / "Library/LaunchAgents/com.lumora.swap.plist");
  model.refresh();
  EXPECT_TRUE(pillar(model, "memory").on);
  EXPECT_FALSE(pillar(model, "disk").on);
  model.toggle(QStringLiteral("disk"));
  ASSERT_TRUE(eventually([&] { return !pillar(model, "disk").busy; }));
  EXPECT_TRUE(pillar(model, "disk").on);
  auto log = testing::lines(fixture.log());
  const std::string agents = home.string() + "/Library/LaunchAgents/";
  EXPECT_EQ(log, (std::vector<std::string>{
                     "launchctl list", "launchctl load " + agents + "com.lumora.mirror.plist",
                     "launchctl load " + agents + "com.lumora.evict.plist", "launchctl list"}));
}

}  // namespace
}  // namespace lumora::host
