#include "host/ui/widgets/Shapes.h"

#include <QPainter>

#include "host/ui/widgets/Style.h"

namespace lumora::ui {

RoundedPanel::RoundedPanel(double radius, QWidget* parent) : QWidget(parent), radius_(radius) {}

void RoundedPanel::setFill(const QColor& fill) {
  fill_ = fill;
  update();
}

void RoundedPanel::setOutline(const QColor& outline) {
  outline_ = outline;
  update();
}

void RoundedPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill_);
  painter.drawRoundedRect(shape, radius_, radius_);
  if (outline_.isValid()) {
    painter.setPen(QPen(outline_, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape, radius_, radius_);
  }
}

CapsuleLabel::CapsuleLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignCenter);
  // 14 at the sides, 6 above and below.
  setContentsMargins(14, 6, 14, 6);
}

void CapsuleLabel::setColors(const QColor& text, const QColor& outline) {
  textColor_ = text;
  outline_ = outline;
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, text);
  setPalette(pal);
  update();
}

void CapsuleLabel::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = shape.height() / 2.0;
    painter.setPen(QPen(outline_, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape, radius, radius);
  }
  QLabel::paintEvent(event);
}

Divider::Divider(QWidget* parent) : QWidget(parent) {
  setFixedHeight(1);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QColor Divider::lineColor() const {
  return secondaryColor(basePalette(this), 0.35);
}

void Divider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), lineColor());
}

}  // namespace lumora::ui
