// The connection sequence and the app's state, with a domain manager whose
// answers each test chooses and real files in a temporary home.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QSignalSpy>
#include <fstream>
#include <thread>

#include "host/core/LumoraHostApp.h"
#include "host/core/connect/SidebarBookmark.h"
#include "platform/foundation/SharedDefaults.h"
#include "platform/foundation/TextFile.h"
#include "shared/Identifiers.h"
#include "tests/host/FakeDomainManager.h"
#include "tests/host/HostTestSupport.h"

namespace lumora::host {
namespace {
namespace fs = std::filesystem;
namespace sm = servicemanagement;
using testing::eventually;
using testing::FakeDomainManager;
using testing::HostFixture;
using testing::RecordingClock;

const std::vector<std::string> kFullRun = {
    "remove com.lumora.desktop.default", "add com.lumora.desktop.default Lumora",
    "manager com.lumora.desktop.default", "signal NSFileProviderWorkingSetContainerItemIdentifier"};

class ConnectTest : public ::testing::Test {
 protected:
  ConnectSettings settings(fileprovider::DomainManager* domains) {
    ConnectSettings s;
    s.home = fixture.home();
    s.defaultsFile = defaultsFile();
    s.container = [dir = container()] { return std::optional<fs::path>(dir); };
    s.loginItem = std::make_shared<sm::XdgAutostartLoginItem>(autostartEntry(), kExecutable);
    s.domains = domains;
    s.statusFile = statusFile();
    return s;
  }
  std::unique_ptr<LumoraHostApp> makeApp(fileprovider::DomainManager* domains) {
    return std::make_unique<LumoraHostApp>(fixture.environment(clock), settings(domains));
  }
  // Runs connect to its end; the status it left.
  QString connectOnce(LumoraHostApp& app) {
    QSignalSpy finished(&app, &LumoraHostApp::connectFinished);
    app.connect();
    EXPECT_TRUE(finished.count() == 1 || finished.wait(20000));
    return app.status();
  }
  void writeToken(const std::string& text) { fixture.temp.write(".lumora/auth/token", text); }
  fs::path defaultsFile() const { return fixture.temp.root() / "config/group/defaults.json"; }
  fs::path container() const { return fixture.temp.root() / "data/group"; }
  fs::path autostartEntry() const {
    return fixture.temp.root() / "autostart/com.lumora.desktop.desktop";
  }
  fs::path statusFile() const { return fixture.temp.root() / "tmp/lumora-host-status.txt"; }
  std::optional<std::string> sharedDefault() const {
    return SharedDefaults(defaultsFile()).stringForKey(shared::kAccessTokenDefaultsKey);
  }

  static constexpr const char* kExecutable = "/opt/Lumora Desktop/lumora-desktop";
  HostFixture fixture;
  RecordingClock clock;
  FakeDomainManager domains;
  ConnectTest() { fs::create_directories(statusFile().parent_path()); }
};

TEST_F(ConnectTest, HandsOffTheTrimmedTokenAndRegistersTheDomainAfresh) {
  writeToken("  tok-123\r\n");
  auto app = makeApp(&domains);
  EXPECT_EQ(app->status(), QStringLiteral("starting…"));
  EXPECT_FALSE(app->statusIsConnected());
  EXPECT_EQ(connectOnce(*app), QStringLiteral("Connected — Lumora is available in Finder."));
  EXPECT_TRUE(app->statusIsConnected());
  EXPECT_EQ(domains.calls(), kFullRun);

  EXPECT_EQ(sharedDefault(), "tok-123");
  EXPECT_EQ(testing::slurp(container() / "auth-token"), "tok-123");
  struct stat info {};
  ASSERT_EQ(::stat((container() / "auth-token").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(testing::slurp(statusFile()), "Connected — Lumora is available in Finder.");
  EXPECT_EQ(sm::XdgAutostartLoginItem(autostartEntry(), kExecutable).status(),
            sm::LoginItemStatus::enabled);

  // A second run does the whole sequence again.
  EXPECT_EQ(connectOnce(*app), QStringLiteral("Connected — Lumora is available in Finder."));
  EXPECT_EQ(domains.calls().size(), 2 * kFullRun.size());
}

TEST_F(ConnectTest, OutcomesOfTheDomainSteps) {
  writeToken("tok");
  struct Case {
    const char* name;
    std::function<void(FakeDomainManager&)> arrange;
    QString status;
    std::vector<std::string> calls;
  };
  const QString connected = QStringLiteral("Connected — Lumora is available in Finder.");
  std::vector<Case> cases = {
      {"file provider error on add",
       [](auto& m) {
         m.addError = fileprovider::fileProviderError(fileprovider::kErrorServerUnreachable);
       },
       connected,
       {kFullRun[0], kFullRun[1]}},
      {"other error on add",
       [](auto& m) { m.addError = posixError(EACCES, ""); },
       QStringLiteral("Domain registration failed: Permission denied"),
       {kFullRun[0], kFullRun[1]}},
      {"failed removal", [](auto& m) { m.removeError = posixError(EIO, ""); }, connected, kFullRun},
      {"no manager for the domain",
       [](auto& m) { m.hasManager = false; },
       connected,
       {kFullRun[0], kFullRun[1], kFullRun[2]}},
      {"signal failing",
       [](auto& m) {
         m.signalError = fileprovider::fileProviderError(fileprovider::kErrorNoSuchItem);
       },
       connected, kFullRun},
  };
  for (const auto& c : cases) {
    FakeDomainManager manager;
    c.arrange(manager);
    auto app = makeApp(&manager);
    EXPECT_EQ(connectOnce(*app), c.status) << c.name;
    EXPECT_EQ(manager.calls(), c.calls) << c.name;
    EXPECT_EQ(testing::slurp(statusFile()), c.status.toStdString()) << c.name;
  }
}

TEST_F(ConnectTest, WithoutADomainManagerRegistrationFails) {
  writeToken("tok");
  auto app = makeApp(nullptr);
  const QString status = connectOnce(*app);
  EXPECT_TRUE(status.startsWith(QStringLiteral("Domain registration failed: ")))
      << status.toStdString();
  EXPECT_GT(status.size(), QStringLiteral("Domain registration failed: ").size());
  EXPECT_FALSE(app->statusIsConnected());
  EXPECT_EQ(testing::slurp(statusFile()), status.toStdString());
  EXPECT_EQ(sharedDefault(), "tok");  // the hand-off came first
}

TEST_F(ConnectTest, BlankTokenChangesNothing) {
  // An earlier run's hand-off stays in place.
  ASSERT_TRUE(SharedDefaults(defaultsFile()).setString(shared::kAccessTokenDefaultsKey, "old"));
  fs::create_directories(container());
  ASSERT_TRUE(writeFileAtomically(container() / "auth-token", "old"));
  for (const char* contents : {" \n\t \n", "\xc3\x28 invalid"}) {
    writeToken(contents);
    auto app = makeApp(&domains);
    EXPECT_EQ(connectOnce(*app),
              QStringLiteral("No CLI token — run `lumora login` first, then relaunch."));
  }
  fs::remove(fixture.home() / ".lumora/auth/token");
  auto app = makeApp(&domains);
  EXPECT_EQ(connectOnce(*app),
            QStringLiteral("No CLI token — run `lumora login` first, then relaunch."));
  EXPECT_TRUE(domains.calls().empty());
  EXPECT_EQ(sharedDefault(), "old");
  EXPECT_EQ(testing::slurp(container() / "auth-token"), "old");
  EXPECT_FALSE(fs::exists(statusFile()));
  EXPECT_FALSE(fs::exists(autostartEntry()));
}

TEST_F(ConnectTest, LoginItemIsRewrittenOnlyWhenNotEnabled) {
  writeToken("tok");
  sm::XdgAutostartLoginItem item(autostartEntry(), kExecutable);
  ASSERT_TRUE(item.registerItem());
  // An enabled entry is left exactly as it is.
  std::ofstream(autostartEntry(), std::ios::app) << "# kept\n";
  auto app = makeApp(&domains);
  connectOnce(*app);
  EXPECT_NE(testing::slurp(autostartEntry()).find("# kept"), std::string::npos);
  // A stale one (another program) is replaced.
  testing::TempDir dir;
  std::ofstream(autostartEntry()) << "[Desktop Entry]\nType=Application\nExec=/old/place/lumora\n";
  connectOnce(*app);
  EXPECT_EQ(item.status(), sm::LoginItemStatus::enabled);
}

TEST_F(ConnectTest, ALoginItemTheUserTurnedOffIsNotSwitchedBackOn) {
  writeToken("tok");
  fs::create_directories(autostartEntry().parent_path());
  const std::string off = std::string("[Desktop Entry]\nType=Application\nExec=") + kExecutable +
                          "\nX-GNOME-Autostart-enabled=false\n";
  std::ofstream(autostartEntry()) << off;
  auto app = makeApp(&domains);
  EXPECT_EQ(connectOnce(*app), QStringLiteral("Connected — Lumora is available in Finder."));
  EXPECT_EQ(testing::slurp(autostartEntry()), off);
}

TEST_F(ConnectTest, TheGuiThreadNeverWaitsForTheDomainsManager) {
  writeToken("tok");
  auto app = makeApp(&domains);
  connectOnce(*app);
  ASSERT_EQ(domains.calls(), kFullRun);
  EXPECT_NE(domains.managerCaller(), std::this_thread::get_id());
}

TEST_F(ConnectTest, TheMountedFolderGetsOneSidebarEntry) {
  const fs::path bookmarks = fixture.temp.root() / "config/gtk-3.0/bookmarks";
  fs::create_directories(bookmarks.parent_path());
  std::ofstream(bookmarks) << "file:///srv/music Music\nsftp://host/x";  // no final line break
  auto s = settings(&domains);
  s.home = fixture.temp.root() / "a home";
  fs::create_directories(s.home / ".lumora/auth");
  std::ofstream(s.home / ".lumora/auth/token") << "tok";
  s.bookmarksFile = bookmarks;
  LumoraHostApp app(fixture.environment(clock), s);
  connectOnce(app);
  connectOnce(app);
  const std::string entry = "file://" + (fixture.temp.root() / "a%20home/Lumora").string();
  EXPECT_EQ(testing::slurp(bookmarks),
            "file:///srv/music Music\nsftp://host/x\n" + entry + " Lumora\n");
  // A failed registration adds none.
  fs::remove(bookmarks);
  FakeDomainManager failing;
  failing.addError = posixError(EACCES, "");
  s.domains = &failing;
  LumoraHostApp refused(fixture.environment(clock), s);
  connectOnce(refused);
  EXPECT_FALSE(fs::exists(bookmarks));
}

TEST_F(ConnectTest, StatusFileReplacesASymlinkWithoutFollowingIt) {
  writeToken("tok");
  fs::path victim = fixture.temp.root() / "victim.txt";
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, statusFile());
  auto app = makeApp(&domains);
  connectOnce(*app);
  EXPECT_EQ(testing::slurp(victim), "precious");
  EXPECT_FALSE(fs::is_symlink(statusFile()));
  EXPECT_EQ(testing::slurp(statusFile()), "Connected — Lumora is available in Finder.");
  // No temporary files are left in the folder.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(statusFile().parent_path()), fs::directory_iterator()),
      1);
}

TEST_F(ConnectTest, AppGoneWhileTheDomainManagerWorksIsSafe) {
  writeToken("tok");
  domains.holdCompletions = true;
  auto app = makeApp(&domains);
  app->connect();
  ASSERT_EQ(domains.calls().size(), 1u);  // waiting at the removal
  app.reset();
  domains.releaseHeld();
  QTest::qWait(200);
  EXPECT_EQ(domains.calls().size(), 1u);  // the run stopped with its app
  EXPECT_FALSE(fs::exists(statusFile()));
}

TEST_F(ConnectTest, StartupConnectsOnlyWithAToken) {
  auto app = makeApp(&domains);
  app->startup();
  EXPECT_FALSE(app->signedIn());
  EXPECT_EQ(app->status(), QStringLiteral("starting…"));
  QTest::qWait(50);
  EXPECT_TRUE(domains.calls().empty());
  EXPECT_FALSE(fs::exists(statusFile()));

  writeToken("tok\n");
  QSignalSpy status(app.get(), &LumoraHostApp::statusChanged);
  app->startup();
  EXPECT_TRUE(app->signedIn());
  EXPECT_EQ(app->status(), QStringLiteral("starting…"));
  ASSERT_TRUE(eventually([&] { return app->statusIsConnected(); }));
  ASSERT_EQ(status.count(), 1);
  EXPECT_EQ(status.at(0).at(0).toString(),
            QStringLiteral("Connected — Lumora is available in Finder."));
}

TEST_F(ConnectTest, OnReadySignsInAtOnceAndConnectsLater) {
  writeToken("tok");
  auto app = makeApp(&domains);
  QSignalSpy signedIn(app.get(), &LumoraHostApp::signedInChanged);
  app->onReady();
  EXPECT_TRUE(app->signedIn());
  EXPECT_EQ(signedIn.count(), 1);
  EXPECT_TRUE(domains.calls().empty());  // connect has not started yet
  ASSERT_TRUE(eventually([&] { return app->statusIsConnected(); }));
  EXPECT_EQ(domains.calls(), kFullRun);
  app->onReady();  // signedIn never goes back, nor is announced twice
  EXPECT_EQ(signedIn.count(), 1);
  EXPECT_EQ(app->onboarding()->phase(), OnboardingModel::Phase::welcome);
}

TEST(SidebarBookmarkTest, AFileThatIsNotTextIsLeftAloneAndALinkStaysALink) {
  testing::TempDir dir;
  const fs::path bookmarks = dir.path() / "bookmarks";
  std::ofstream(bookmarks) << "file:///a \xff\xfe\n";
  auto added = addSidebarBookmark(bookmarks, "/home/u/Lumora", "Lumora");
  ASSERT_FALSE(added);
  EXPECT_EQ(testing::slurp(bookmarks), "file:///a \xff\xfe\n");

  const fs::path kept = dir.path() / "dotfiles/bookmarks";
  fs::create_directories(kept.parent_path());
  std::ofstream(kept) << "file:///home/u/Lumora My cloud\n";
  fs::remove(bookmarks);
  fs::create_symlink(kept, bookmarks);
  added = addSidebarBookmark(bookmarks, "/home/u/Lumora", "Lumora");
  ASSERT_TRUE(added);
  EXPECT_FALSE(*added);  // renamed by the user, still the same folder
  added = addSidebarBookmark(bookmarks, "/home/u/Other", "Other");
  ASSERT_TRUE(added);
  EXPECT_TRUE(*added);
  EXPECT_TRUE(fs::is_symlink(bookmarks));
  EXPECT_EQ(testing::slurp(kept), "file:///home/u/Lumora My cloud\nfile:///home/u/Other Other\n");
}

TEST(StatusDotTest, GreenExactlyForConnectedTexts) {
  EXPECT_TRUE(isConnectedStatus(QStringLiteral("Connected — Lumora is available in Finder.")));
  EXPECT_TRUE(isConnectedStatus(QStringLiteral("Connected, differently")));
  EXPECT_FALSE(isConnectedStatus(QStringLiteral("Domain registration failed: Connected")));
  EXPECT_FALSE(isConnectedStatus(QStringLiteral("starting…")));
  EXPECT_FALSE(isConnectedStatus(QStringLiteral("connected")));
}

}  // namespace
}  // namespace lumora::host
