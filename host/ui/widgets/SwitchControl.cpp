#include "host/ui/widgets/SwitchControl.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionFocusRect>

#include "host/ui/widgets/Style.h"

namespace lumora::ui {

namespace {
constexpr int kTrackWidth = 38;
constexpr int kTrackHeight = 22;
constexpr int kKnobInset = 2;
}  // namespace

SwitchControl::SwitchControl(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(false);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setAccessibleName(QStringLiteral("switch"));
  connect(this, &QAbstractButton::clicked, this, &SwitchControl::flipped);
}

void SwitchControl::setOn(bool on) {
  if (on == on_) return;
  on_ = on;
  update();
  emit onChanged(on_);
}

// Two pixels around the track leave room for the focus ring.
QSize SwitchControl::sizeHint() const {
  return {kTrackWidth + 4, kTrackHeight + 4};
}

QColor SwitchControl::trackColor() const {
  if (on_) return green();
  // Off: a neutral track that reads on light and dark windows alike.
  return secondaryColor(basePalette(this), isDark(basePalette(this)) ? 0.45 : 0.35);
}

void SwitchControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF track =
      QRectF(0, 0, kTrackWidth, kTrackHeight)
          .translated((width() - kTrackWidth) / 2.0, (height() - kTrackHeight) / 2.0);
  painter.setPen(Qt::NoPen);
  QColor fill = trackColor();
  if (isDown()) fill = fill.darker(112);
  painter.setBrush(fill);
  painter.drawRoundedRect(track, kTrackHeight / 2.0, kTrackHeight / 2.0);

  const double knob = kTrackHeight - 2.0 * kKnobInset;
  const double x = on_ ? track.right() - kKnobInset - knob : track.left() + kKnobInset;
  const QRectF knobRect(x, track.top() + kKnobInset, knob, knob);
  // A soft shadow under the knob, as platform switches have.
  painter.setBrush(QColor(0, 0, 0, 40));
  painter.drawEllipse(knobRect.translated(0, 0.6).adjusted(-0.3, -0.3, 0.3, 0.3));
  painter.setBrush(Qt::white);
  painter.drawEllipse(knobRect);

  if (hasFocus() && isEnabled() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
    QPen focus(palette().color(QPalette::Highlight), 2);
    painter.setPen(focus);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(track.adjusted(-1, -1, 1, 1), kTrackHeight / 2.0 + 1,
                            kTrackHeight / 2.0 + 1);
  }
}

}  // namespace lumora::ui
