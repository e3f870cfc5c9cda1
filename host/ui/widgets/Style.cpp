#include "host/ui/widgets/Style.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>

namespace lumora::ui {

namespace {

struct StyleSpec {
  int pixelSize;
  QFont::Weight weight;
};

StyleSpec specFor(TextStyle style) {
  switch (style) {
    case TextStyle::Title:
      return {22, QFont::Normal};
    case TextStyle::Title2:
      return {17, QFont::Normal};
    case TextStyle::Headline:
      return {13, QFont::DemiBold};
    case TextStyle::Callout:
      return {12, QFont::Normal};
    case TextStyle::Footnote:
      return {10, QFont::Normal};
  }
  return {13, QFont::Normal};
}

}  // namespace

QFont systemFont(int pixelSize, QFont::Weight weight) {
  QFont font = QApplication::font();
  font.setPixelSize(pixelSize);
  font.setWeight(weight);
  return font;
}

QFont textFont(TextStyle style, bool bold) {
  const StyleSpec spec = specFor(style);
  return systemFont(spec.pixelSize, bold ? QFont::Bold : spec.weight);
}

QColor green(double opacity) {
  QColor color = QColor::fromRgba(kGreen);
  color.setAlphaF(static_cast<float>(opacity));
  return color;
}

QColor foregroundColor(const QPalette& palette, Foreground role) {
  QColor text = palette.color(QPalette::WindowText);
  switch (role) {
    case Foreground::Primary:
      return text;
    case Foreground::Secondary:
      text.setAlphaF(static_cast<float>(kSecondaryOpacity));
      return text;
    case Foreground::Tertiary:
      text.setAlphaF(static_cast<float>(kTertiaryOpacity));
      return text;
    case Foreground::Green:
      return green();
  }
  return text;
}

QColor secondaryColor(const QPalette& palette, double opacity) {
  QColor color = palette.color(QPalette::WindowText);
  color.setAlphaF(static_cast<float>(kSecondaryOpacity * opacity));
  return color;
}

QColor blackFill(double opacity) {
  QColor color(Qt::black);
  color.setAlphaF(static_cast<float>(opacity));
  return color;
}

bool isDark(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() <
         palette.color(QPalette::WindowText).lightness();
}

QPalette basePalette(const QWidget* widget) {
  if (widget == nullptr) return QApplication::palette();
  // Taken from the application unless the window has a palette of its own:
  // the application's is current at once on a desktop switch, whatever order
  // the widgets hear of it in.
  const QWidget* top = widget->window();
  if (top != widget && top->testAttribute(Qt::WA_SetPalette)) return top->palette();
  return QApplication::palette(top);
}

StyledLabel::StyledLabel(const QString& text, const QFont& font, Foreground role, QWidget* parent)
    : QLabel(text, parent), role_(role) {
  setFont(font);
  setTextFormat(Qt::PlainText);
  applyColor();
  followApplicationPalette(this);
}

void StyledLabel::setRole(Foreground role) {
  if (role == role_) return;
  role_ = role;
  applyColor();
}

void StyledLabel::setElided(bool elided) {
  elided_ = elided;
  setSizePolicy(elided ? QSizePolicy::Ignored : QSizePolicy::Preferred,
                sizePolicy().verticalPolicy());
  updateGeometry();
  update();
}

QSize StyledLabel::minimumSizeHint() const {
  if (!elided_) return QLabel::minimumSizeHint();
  return {0, QLabel::minimumSizeHint().height()};
}

void StyledLabel::paintEvent(QPaintEvent* event) {
  if (!elided_) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
  painter.setPen(textColor());
  painter.drawText(area, static_cast<int>(alignment()), shown);
}

void StyledLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  const auto type = event->type();
  if (!applying_ && (type == QEvent::PaletteChange || type == QEvent::ParentChange ||
                     type == QEvent::ApplicationPaletteChange)) {
    applyColor();
  }
}

bool StyledLabel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) applyColor();
  return QLabel::eventFilter(watched, event);
}

void followApplicationPalette(QObject* follower) {
  qApp->installEventFilter(follower);
}

void StyledLabel::applyColor() {
  applying_ = true;
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, foregroundColor(basePalette(this), role_));
  setPalette(pal);
  applying_ = false;
}

}  // namespace lumora::ui
