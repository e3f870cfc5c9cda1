#include "host/ui/widgets/ActionButton.h"

#include <QPainter>
#include <QStyleOptionButton>

#include "host/ui/widgets/Icons.h"
#include "host/ui/widgets/Style.h"

namespace lumora::ui {

namespace {
constexpr int kIconSize = 14;
constexpr int kIconGap = 6;
constexpr int kHorizontalPadding = 14;
}  // namespace

ActionButton::ActionButton(const QString& title, Kind kind, QWidget* parent)
    : QPushButton(title, parent), kind_(kind), tint_(green()) {
  setCursor(Qt::PointingHandCursor);
  setFont(systemFont(13, QFont::Normal));
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ActionButton::setControlSize(Size size) {
  size_ = size;
  setFont(systemFont(size == Size::Large ? 15 : 13, QFont::Normal));
  updateGeometry();
}

void ActionButton::setTint(const QColor& tint) {
  tint_ = tint;
  update();
}

void ActionButton::setVerticalPadding(int pixels) {
  verticalPadding_ = pixels;
  updateGeometry();
}

int ActionButton::controlHeight() const {
  return (size_ == Size::Large ? 30 : 24) + 2 * verticalPadding_;
}

QSize ActionButton::sizeHint() const {
  const QFontMetrics metrics(font());
  int width = metrics.horizontalAdvance(text()) + 2 * kHorizontalPadding;
  if (!icon().isNull()) width += kIconSize + kIconGap;
  return {width, controlHeight()};
}

QSize ActionButton::minimumSizeHint() const {
  return sizeHint();
}

QColor ActionButton::fillColor() const {
  const QPalette base = basePalette(this);
  QColor fill;
  if (kind_ == Kind::Prominent) {
    fill = tint_;
  } else {
    // A neutral fill that sits a little off the window in either palette.
    fill = isDark(base) ? QColor(255, 255, 255, 38) : QColor(0, 0, 0, 20);
  }
  if (isDown()) fill = kind_ == Kind::Prominent ? fill.darker(115) : fill.darker(130);
  return fill;
}

QColor ActionButton::titleColor() const {
  if (kind_ == Kind::Prominent) return Qt::white;
  return basePalette(this).color(QPalette::WindowText);
}

void ActionButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // Disabled buttons keep their look but fade, as platform buttons do.
  if (!isEnabled()) painter.setOpacity(0.4);

  const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const double radius = size_ == Size::Large ? 7.0 : 6.0;
  painter.setPen(kind_ == Kind::Bordered ? QPen(secondaryColor(basePalette(this), 0.35), 1)
                                         : Qt::NoPen);
  painter.setBrush(fillColor());
  painter.drawRoundedRect(frame, radius, radius);

  // The ring shows keyboard focus only, as on the platform.
  if (hasFocus() && isEnabled() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(frame.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
  }

  const QFontMetrics metrics(font());
  const QColor fg = titleColor();
  const bool hasIcon = !icon().isNull();
  const int textWidth = metrics.horizontalAdvance(text());
  const int contentWidth = textWidth + (hasIcon ? kIconSize + kIconGap : 0);
  int x = (width() - contentWidth) / 2;
  if (hasIcon) {
    const QPixmap pixmap = tinted(icon(), kIconSize, fg, devicePixelRatioF());
    painter.drawPixmap(QPoint(x, (height() - kIconSize) / 2), pixmap);
    x += kIconSize + kIconGap;
  }
  painter.setPen(fg);
  painter.setFont(font());
  painter.drawText(QRect(x, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

}  // namespace lumora::ui
