#pragma once
// The window's visual vocabulary: text styles in device-independent pixels,
// the hierarchical foreground styles (window text at reduced opacity), the
// system green, and labels whose colour follows the palette (light or dark).

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QString>

namespace lumora::ui {

// The system green, as on the platform the product was designed for.
inline constexpr QRgb kGreen = 0xFF34C759;
inline constexpr double kSecondaryOpacity = 0.55;
inline constexpr double kTertiaryOpacity = 0.25;

enum class TextStyle { Title, Title2, Headline, Callout, Footnote };

// A named text style; `bold` raises the weight where a screen asks for it.
QFont textFont(TextStyle style, bool bold = false);
// The system font at an explicit pixel size and weight.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// Foreground roles: the window text itself, its secondary and tertiary
// opacities, and green.
enum class Foreground { Primary, Secondary, Tertiary, Green };

QColor green(double opacity = 1.0);
// The colour of a foreground role in `palette` (window text based).
QColor foregroundColor(const QPalette& palette, Foreground role);
// The platform's "secondary colour" (secondary label colour) at `opacity`.
QColor secondaryColor(const QPalette& palette, double opacity);
// Black at `opacity`: the translucent card fills.
QColor blackFill(double opacity);
// Whether `palette` is a dark one (light text on a dark window).
bool isDark(const QPalette& palette);

// A label drawn in one foreground role. Its colour is recomputed from the
// window's palette whenever that palette changes, so it stays legible when the
// desktop switches between light and dark.
class StyledLabel : public QLabel {
  Q_OBJECT
 public:
  StyledLabel(const QString& text, const QFont& font, Foreground role, QWidget* parent = nullptr);

  Foreground role() const { return role_; }
  void setRole(Foreground role);
  // The colour the label draws its text in.
  QColor textColor() const { return palette().color(QPalette::WindowText); }
  // One line cut with an ellipsis when the layout gives less room than the
  // text needs; the whole text stays available as the tool tip.
  void setElided(bool elided);
  bool elided() const { return elided_; }
  QSize minimumSizeHint() const override;

 protected:
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void applyColor();

  Foreground role_;
  bool elided_ = false;
  bool applying_ = false;  // guards the palette change our own setPalette causes
};

// Lets `follower` see the application's ApplicationPaletteChange in its
// eventFilter: widgets that are not windows are not told of it themselves.
void followApplicationPalette(QObject* follower);

// The palette the window's own controls derive their colours from: the top
// level's palette (never a label's overridden one).
QPalette basePalette(const QWidget* widget);

}  // namespace lumora::ui
