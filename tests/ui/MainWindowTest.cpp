// The whole window with the real app state: onboarding first, the start-up
// check, the signed-in layout over the status bar, and the palette switch.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <fstream>

#include "host/core/LumoraHostApp.h"
#include "host/ui/app/MainWindow.h"
#include "host/ui/app/StatusBar.h"
#include "host/ui/controlplane/ControlPlaneView.h"
#include "host/ui/controlplane/PillarRow.h"
#include "host/ui/onboarding/OnboardingView.h"
#include "tests/ui/UiFixture.h"

namespace lumora::ui {
namespace {

using testing::sameColor;

// The system side's answers, given by the test (the real daemon needs FUSE
// and is exercised by its own tests).
class ScriptedDomains : public fileprovider::DomainManager {
 public:
  std::optional<Error> addError;
  int adds = 0;
  void addDomain(const fileprovider::Domain&, fileprovider::ErrorCompletion done) override {
    ++adds;
    done(addError);
  }
  void removeDomain(const fileprovider::Domain&, fileprovider::ErrorCompletion done) override {
    done(std::nullopt);
  }
  std::unique_ptr<fileprovider::DomainHandle> managerForDomain(
      const fileprovider::Domain&) override {
    return nullptr;
  }
};

class MainWindowTest : public ::testing::Test {
 protected:
  void makeApp() {
    host::ConnectSettings settings;
    settings.home = tools.home().home();
    settings.defaultsFile = tools.home().root() / "defaults.json";
    const auto container = tools.home().root() / "container";
    settings.container = [container] { return std::optional(container); };
    settings.domains = &domains;
    settings.statusFile = tools.home().root() / "status.txt";
    app = std::make_unique<host::LumoraHostApp>(tools.environment(testing::instantTiming()),
                                                settings);
    window = std::make_unique<MainWindow>(*app, [this] {
      return std::make_unique<ControlPlaneView>(tools.environment(testing::instantTiming()),
                                                QStringLiteral("Studio"));
    });
  }
  std::string statusFile() const {
    std::ifstream in(tools.home().root() / "status.txt");
    return {std::istreambuf_iterator<char>(in), {}};
  }

  testing::FakeTools tools;
  ScriptedDomains domains;
  std::unique_ptr<host::LumoraHostApp> app;
  std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, WithoutATokenTheOnboardingScreenStays) {
  makeApp();
  window->show();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Lumora"));
  EXPECT_EQ(window->width(), 460);
  ASSERT_NE(window->onboardingView(), nullptr);
  QTRY_VERIFY(window->startupRan());
  QTest::qWait(50);
  EXPECT_FALSE(app->signedIn());
  EXPECT_NE(window->onboardingView(), nullptr);
  EXPECT_EQ(window->controlPlane(), nullptr);
  EXPECT_EQ(domains.adds, 0);
  EXPECT_EQ(app->status(), QStringLiteral("starting…"));
  // The window is as high as the onboarding screen.
  EXPECT_EQ(window->height(), window->onboardingView()->sizeHint().height());
}

TEST_F(MainWindowTest, ASignedInUserGetsTheControlPlaneAndTheConnectedStatus) {
  tools.writeToken("tok-123\n");
  makeApp();
  window->show();
  // The first frame is the welcome screen, even for a signed-in user.
  ASSERT_NE(window->onboardingView(), nullptr);
  QSignalSpy finished(app.get(), &host::LumoraHostApp::connectFinished);
  QTRY_VERIFY(window->controlPlane() != nullptr);
  StatusBar* bar = window->statusBar();
  ASSERT_NE(bar, nullptr);
  ASSERT_TRUE(finished.count() > 0 || finished.wait(5000));
  QTRY_VERIFY(window->onboardingView() == nullptr);
  EXPECT_EQ(bar->statusLabel()->text(),
            QStringLiteral("Connected — Lumora is available in Finder."));
  EXPECT_TRUE(sameColor(bar->dot()->color(), QColor(0x34, 0xC7, 0x59)));
  EXPECT_EQ(bar->dot()->size(), QSize(8, 8));
  EXPECT_EQ(bar->statusLabel()->role(), Foreground::Secondary);
  EXPECT_EQ(bar->statusLabel()->font().pixelSize(), 10);
  EXPECT_EQ(bar->filesLabel()->text(), QStringLiteral("Files: Finder → Lumora"));
  EXPECT_EQ(bar->filesLabel()->role(), Foreground::Tertiary);
  EXPECT_EQ(statusFile(), "Connected — Lumora is available in Finder.");
  EXPECT_EQ(domains.adds, 1);
  QTRY_COMPARE(window->controlPlane()->rows().size(), 4);
  QApplication::processEvents();
  EXPECT_EQ(window->width(), 460);
  EXPECT_EQ(bar->width(), 460);
  testing::saveScreenshot(*window, QStringLiteral("signed-in"));
  EXPECT_TRUE(testing::clippedTexts(*window).isEmpty())
      << testing::clippedTexts(*window).join(u'|').toStdString();
}

TEST_F(MainWindowTest, AFailedRegistrationShowsAnOrangeDotAndTheDescriptionVerbatim) {
  tools.writeToken("tok");
  domains.addError = Error{kPosixErrorDomain, 13, "Permission denied <&> “quoted”"};
  makeApp();
  window->show();
  QSignalSpy finished(app.get(), &host::LumoraHostApp::connectFinished);
  ASSERT_TRUE(finished.wait(5000));
  StatusBar* bar = window->statusBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->statusLabel()->text(),
            QStringLiteral("Domain registration failed: Permission denied <&> “quoted”"));
  EXPECT_TRUE(sameColor(bar->dot()->color(), QColor(0xFF, 0x95, 0x00)));
  EXPECT_EQ(window->width(), 460);
}

TEST_F(MainWindowTest, ALongFailureWrapsAndStaysWhole) {
  tools.writeToken("tok");
  const QString reason = QStringLiteral(
      "Cannot start /usr/libexec/lumora/lumora-fileprovider: No such file or directory, and "
      "the mount point is left over from a daemon that is gone");
  domains.addError = Error{kPosixErrorDomain, 2, reason.toStdString()};
  makeApp();
  window->show();
  QSignalSpy finished(app.get(), &host::LumoraHostApp::connectFinished);
  ASSERT_TRUE(finished.wait(5000));
  StatusBar* bar = window->statusBar();
  ASSERT_NE(bar, nullptr);
  QApplication::processEvents();
  EXPECT_EQ(bar->statusLabel()->text(), QStringLiteral("Domain registration failed: ") + reason);
  EXPECT_FALSE(bar->statusLabel()->elided());
  EXPECT_EQ(window->width(), 460);
  // More than one line, every one of them shown.
  EXPECT_GT(bar->statusLabel()->height(), 2 * QFontMetrics(bar->statusLabel()->font()).height());
  testing::saveScreenshot(*window, QStringLiteral("status-long-failure"));
  EXPECT_TRUE(testing::clippedTexts(*window).isEmpty())
      << testing::clippedTexts(*window).join(u'|').toStdString();
}

TEST_F(MainWindowTest, SigningInFromTheWelcomeScreenSwitchesToTheControlPlane) {
  makeApp();
  window->show();
  QTRY_VERIFY(window->startupRan());
  tools.writeToken("fresh-token");
  auto* start = window->onboardingView()->findChild<QPushButton*>(QStringLiteral("getStarted"));
  ASSERT_NE(start, nullptr);
  QSignalSpy finished(app.get(), &host::LumoraHostApp::connectFinished);
  QTest::mouseClick(start, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(app->signedIn(), 5000);
  ASSERT_TRUE(finished.count() > 0 || finished.wait(5000));
  QTRY_VERIFY(window->controlPlane() != nullptr);
  EXPECT_EQ(domains.adds, 1);  // one connection, though onReady may be asked twice
}

TEST_F(MainWindowTest, TheDarkPaletteKeepsTextLegible) {
  tools.writeToken("tok");
  makeApp();
  const QPalette original = QApplication::palette();
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(30, 30, 32));
  dark.setColor(QPalette::WindowText, QColor(235, 235, 240));
  dark.setColor(QPalette::Button, QColor(58, 58, 62));
  dark.setColor(QPalette::ButtonText, QColor(235, 235, 240));
  QApplication::setPalette(dark);
  window->show();
  QSignalSpy finished(app.get(), &host::LumoraHostApp::connectFinished);
  ASSERT_TRUE(finished.wait(5000));
  QTRY_COMPARE(window->controlPlane()->rows().size(), 4);
  PillarRow* row = window->controlPlane()->rows()[0];
  const QColor detail = row->detailLabel()->textColor();
  EXPECT_GT(detail.lightness(), 200);  // light text on the dark window
  EXPECT_NEAR(detail.alphaF(), 0.55, 0.01);
  EXPECT_GT(window->statusBar()->statusLabel()->textColor().lightness(), 200);
  testing::saveScreenshot(*window, QStringLiteral("signed-in-dark"));
  EXPECT_TRUE(testing::clippedTexts(*window).isEmpty())
      << testing::clippedTexts(*window).join(u'|').toStdString();
  QApplication::setPalette(original);
  EXPECT_LT(row->detailLabel()->textColor().lightness(), 100);
}

}  // namespace
}  // namespace lumora::ui
