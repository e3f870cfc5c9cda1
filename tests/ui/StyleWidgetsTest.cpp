// The drawn controls and styles: switch, labels following the palette,
// buttons, icons.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "host/ui/widgets/ActionButton.h"
#include "host/ui/widgets/Icons.h"
#include "host/ui/widgets/Style.h"
#include "host/ui/widgets/SwitchControl.h"
#include "tests/ui/UiFixture.h"

namespace lumora::ui {
namespace {

using testing::sameColor;

QPalette darkPalette() {
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(30, 30, 32));
  dark.setColor(QPalette::WindowText, QColor(235, 235, 240));
  dark.setColor(QPalette::Base, QColor(20, 20, 22));
  dark.setColor(QPalette::Text, QColor(235, 235, 240));
  dark.setColor(QPalette::Button, QColor(50, 50, 54));
  dark.setColor(QPalette::ButtonText, QColor(235, 235, 240));
  return dark;
}

TEST(StyleTest, TextStylesHaveTheirPixelSizesAndWeights) {
  EXPECT_EQ(textFont(TextStyle::Title, true).pixelSize(), 22);
  EXPECT_EQ(textFont(TextStyle::Title, true).weight(), QFont::Bold);
  EXPECT_EQ(textFont(TextStyle::Title2).pixelSize(), 17);
  EXPECT_EQ(textFont(TextStyle::Headline).pixelSize(), 13);
  EXPECT_EQ(textFont(TextStyle::Headline).weight(), QFont::DemiBold);
  EXPECT_EQ(textFont(TextStyle::Callout).pixelSize(), 12);
  EXPECT_EQ(textFont(TextStyle::Footnote).pixelSize(), 10);
  EXPECT_EQ(systemFont(44).pixelSize(), 44);
}

TEST(StyleTest, SecondaryAndTertiaryLabelsFollowAPaletteSwitch) {
  const QPalette original = QApplication::palette();
  QWidget window;
  StyledLabel secondary(QStringLiteral("s"), systemFont(12), Foreground::Secondary, &window);
  StyledLabel tertiary(QStringLiteral("t"), systemFont(12), Foreground::Tertiary, &window);
  StyledLabel greenLabel(QStringLiteral("g"), systemFont(12), Foreground::Green, &window);
  QColor light = window.palette().color(QPalette::WindowText);
  light.setAlphaF(0.55f);
  EXPECT_TRUE(sameColor(secondary.textColor(), light));
  EXPECT_NEAR(tertiary.textColor().alphaF(), 0.25, 0.01);
  EXPECT_TRUE(sameColor(greenLabel.textColor(), QColor(0x34, 0xC7, 0x59)));

  QApplication::setPalette(darkPalette());
  QColor darkText(235, 235, 240);
  darkText.setAlphaF(0.55f);
  EXPECT_TRUE(sameColor(secondary.textColor(), darkText))
      << secondary.textColor().name(QColor::HexArgb).toStdString();
  EXPECT_TRUE(sameColor(greenLabel.textColor(), QColor(0x34, 0xC7, 0x59)));
  QApplication::setPalette(original);
  EXPECT_TRUE(sameColor(secondary.textColor(), light));
}

TEST(StyleTest, ElidedLabelNeverAsksForMoreWidthThanItIsGiven) {
  StyledLabel label(QString(200, QLatin1Char('x')), systemFont(10), Foreground::Secondary);
  EXPECT_GT(label.sizeHint().width(), 500);
  label.setElided(true);
  EXPECT_EQ(label.minimumSizeHint().width(), 0);
}

TEST(SwitchControlTest, AFlipAnnouncesItselfWithoutChangingTheValue) {
  SwitchControl control;
  control.resize(control.sizeHint());
  control.show();
  QSignalSpy flips(&control, &SwitchControl::flipped);
  QTest::mouseClick(&control, Qt::LeftButton);
  EXPECT_EQ(flips.count(), 1);
  EXPECT_FALSE(control.isOn());  // the owner decides the new value

  control.setOn(true);
  EXPECT_TRUE(sameColor(control.trackColor(), QColor(0x34, 0xC7, 0x59)));
  const QImage on = control.grab().toImage();
  // The knob sits at the right end on a green track.
  EXPECT_TRUE(sameColor(on.pixelColor(6, on.height() / 2), QColor(0x34, 0xC7, 0x59), 8));
  EXPECT_TRUE(sameColor(on.pixelColor(on.width() - 12, on.height() / 2), Qt::white, 8));

  control.setEnabled(false);
  QTest::mouseClick(&control, Qt::LeftButton);
  EXPECT_EQ(flips.count(), 1);
}

TEST(SwitchControlTest, OffTrackIsNotGreenAndTheKnobSitsLeft) {
  SwitchControl control;
  control.resize(control.sizeHint());
  const QImage off = control.grab().toImage();
  EXPECT_FALSE(sameColor(control.trackColor(), QColor(0x34, 0xC7, 0x59), 40));
  EXPECT_TRUE(sameColor(off.pixelColor(12, off.height() / 2), Qt::white, 8));
}

TEST(ActionButtonTest, ProminentIsFilledWithItsTintAndBorderedIsNeutral) {
  ActionButton prominent(QStringLiteral("Save"), ActionButton::Kind::Prominent);
  prominent.setTint(green());
  prominent.setControlSize(ActionButton::Size::Large);
  EXPECT_TRUE(sameColor(prominent.fillColor(), QColor(0x34, 0xC7, 0x59)));
  EXPECT_EQ(prominent.titleColor(), QColor(Qt::white));
  EXPECT_GE(prominent.sizeHint().height(), 30);
  prominent.resize(prominent.sizeHint());
  const QImage image = prominent.grab().toImage();
  EXPECT_TRUE(sameColor(image.pixelColor(4, image.height() / 2), QColor(0x34, 0xC7, 0x59), 8));

  ActionButton bordered(QStringLiteral("Back"), ActionButton::Kind::Bordered);
  EXPECT_LT(bordered.fillColor().alpha(), 64);
  EXPECT_EQ(bordered.titleColor(), bordered.palette().color(QPalette::WindowText));
}

TEST(IconsTest, OurOwnSymbolsRenderAndTakeTheTint) {
  for (Symbol symbol :
       {Symbol::CameraAperture, Symbol::ClockArrowCirclePath, Symbol::CheckmarkCircleFill}) {
    const QIcon bundled = bundledSymbolIcon(symbol);
    ASSERT_FALSE(bundled.isNull());
    const QImage image = tinted(bundled, 32, QColor(0x34, 0xC7, 0x59), 1.0).toImage();
    int painted = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor pixel = image.pixelColor(x, y);
        if (pixel.alpha() > 200) {
          ++painted;
          EXPECT_TRUE(sameColor(pixel, QColor(0x34, 0xC7, 0x59, pixel.alpha()), 4))
              << pixel.name(QColor::HexArgb).toStdString();
        }
      }
    }
    EXPECT_GT(painted, 60) << static_cast<int>(symbol);
    EXPECT_FALSE(symbolIcon(symbol).isNull());
  }
  // The check mark is cut out of the disc: its centre line stays clear.
  const QImage check =
      tinted(bundledSymbolIcon(Symbol::CheckmarkCircleFill), 48, Qt::black, 1.0).toImage();
  EXPECT_GT(check.pixelColor(24, 4).alpha(), 200);
  EXPECT_LT(check.pixelColor(21, 30).alpha(), 80);
  EXPECT_FALSE(appIcon().isNull());
}

}  // namespace
}  // namespace lumora::ui
