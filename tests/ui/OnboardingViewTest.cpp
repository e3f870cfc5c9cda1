// The welcome screen through its three phases, with the real model, a fake
// tool and a watch whose pauses the test runs.

#include <gtest/gtest.h>

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include "host/ui/onboarding/OnboardingView.h"
#include "host/ui/widgets/ActionButton.h"
#include "host/ui/widgets/Spinner.h"
#include "host/ui/widgets/Style.h"
#include "tests/ui/UiFixture.h"

namespace lumora::ui {
namespace {

using Phase = host::OnboardingModel::Phase;
using testing::sameColor;

QStringList texts(const QWidget& widget) {
  QStringList found;
  for (const QLabel* label : widget.findChildren<QLabel*>()) {
    if (label->isVisibleTo(&widget) && !label->text().isEmpty()) found << label->text();
  }
  return found;
}

StyledLabel* labelWithText(const QWidget& widget, const QString& text) {
  for (StyledLabel* label : widget.findChildren<StyledLabel*>()) {
    if (label->text() == text && label->isVisibleTo(&widget)) return label;
  }
  return nullptr;
}

class OnboardingViewTest : public ::testing::Test {
 protected:
  testing::FakeTools tools;
  testing::ManualPauses pauses;
  host::OnboardingModel model{tools.environment(pauses.timing())};
  int readyCalls = 0;
  OnboardingView view{model, [this] { ++readyCalls; }};
};

TEST_F(OnboardingViewTest, WelcomeShowsTheTextsInTheirStylesAndStartsSignIn) {
  view.show();
  EXPECT_EQ(view.width(), 460);
  const QStringList shown = texts(view);
  EXPECT_TRUE(shown.contains(QStringLiteral("◆")));
  EXPECT_TRUE(shown.contains(QStringLiteral("Welcome to Lumora")));
  EXPECT_TRUE(
      shown.contains(QStringLiteral("Your computer, backed by the cloud.\nMore space, more "
                                    "memory, more power — one switch at a time.")));
  EXPECT_TRUE(
      shown.contains(QStringLiteral("Opens your browser to sign in — takes about a minute.")));

  auto* diamond = labelWithText(view, QStringLiteral("◆"));
  ASSERT_NE(diamond, nullptr);
  EXPECT_EQ(diamond->font().pixelSize(), 44);
  EXPECT_TRUE(sameColor(diamond->textColor(), QColor(0x34, 0xC7, 0x59)));
  auto* title = labelWithText(view, QStringLiteral("Welcome to Lumora"));
  EXPECT_EQ(title->font().pixelSize(), 22);
  EXPECT_EQ(title->font().weight(), QFont::Bold);
  auto* tagline = view.findChild<StyledLabel*>(QStringLiteral("tagline"));
  EXPECT_EQ(tagline->role(), Foreground::Secondary);
  EXPECT_NEAR(tagline->textColor().alphaF(), 0.55, 0.01);
  EXPECT_TRUE(tagline->alignment() & Qt::AlignHCenter);
  auto* hint =
      labelWithText(view, QStringLiteral("Opens your browser to sign in — takes about a minute."));
  EXPECT_EQ(hint->font().pixelSize(), 10);
  EXPECT_NEAR(hint->textColor().alphaF(), 0.25, 0.01);

  auto* start = view.findChild<ActionButton*>(QStringLiteral("getStarted"));
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->text(), QStringLiteral("Get started"));
  EXPECT_EQ(start->width(), 220);
  EXPECT_EQ(start->kind(), ActionButton::Kind::Prominent);
  EXPECT_TRUE(start->isEnabled());
  testing::saveScreenshot(view, QStringLiteral("welcome"));
  EXPECT_TRUE(testing::clippedTexts(view).isEmpty())
      << testing::clippedTexts(view).join(u'|').toStdString();

  QTest::mouseClick(start, Qt::LeftButton);
  EXPECT_EQ(model.phase(), Phase::waiting);
  EXPECT_EQ(view.shownPhase(), Phase::waiting);
  // The tool's "login" ran (on its own thread).
  QTRY_VERIFY_WITH_TIMEOUT(!tools.calls().empty(), 5000);
  EXPECT_EQ(tools.calls().front(), "login");
}

TEST_F(OnboardingViewTest, WaitingShowsASpinnerThenDoneCallsOnReadyOnce) {
  view.show();
  model.signIn();
  ASSERT_EQ(view.shownPhase(), Phase::waiting);
  auto* spinner = view.findChild<Spinner*>(QStringLiteral("spinner"));
  ASSERT_NE(spinner, nullptr);
  EXPECT_TRUE(spinner->isVisible());
  EXPECT_TRUE(spinner->isSpinning());
  EXPECT_EQ(spinner->width(), 32);
  EXPECT_NE(labelWithText(view, QStringLiteral("Finish signing in in your browser…\nThis window "
                                               "updates automatically.")),
            nullptr);
  EXPECT_EQ(view.findChild<ActionButton*>(QStringLiteral("getStarted")), nullptr);
  testing::saveScreenshot(view, QStringLiteral("waiting"));
  EXPECT_TRUE(testing::clippedTexts(view).isEmpty())
      << testing::clippedTexts(view).join(u'|').toStdString();

  // No token at the first test: the watch pauses; the token shows up; the
  // next test finds it.
  QTRY_VERIFY(!pauses.pending.empty());
  tools.writeToken("secret\n");
  ASSERT_TRUE(pauses.runOne());
  EXPECT_EQ(model.phase(), Phase::done);
  EXPECT_EQ(readyCalls, 1);

  auto* check = view.findChild<QLabel*>(QStringLiteral("checkmark"));
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(check->size(), QSize(32, 32));
  const QImage mark = check->pixmap().toImage();
  EXPECT_TRUE(sameColor(mark.pixelColor(mark.width() / 2, mark.height() / 6),
                        QColor(0x34, 0xC7, 0x59), 10));
  auto* inLabel = labelWithText(view, QStringLiteral("You're in!"));
  ASSERT_NE(inLabel, nullptr);
  EXPECT_EQ(inLabel->font().pixelSize(), 13);
  auto* open = view.findChild<ActionButton*>(QStringLiteral("openLumora"));
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->text(), QStringLiteral("Open Lumora"));
  testing::saveScreenshot(view, QStringLiteral("done"));
  EXPECT_TRUE(testing::clippedTexts(view).isEmpty())
      << testing::clippedTexts(view).join(u'|').toStdString();

  QTest::mouseClick(open, Qt::LeftButton);
  EXPECT_EQ(readyCalls, 2);
}

}  // namespace
}  // namespace lumora::ui
