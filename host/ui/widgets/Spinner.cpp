#include "host/ui/widgets/Spinner.h"

#include <QPainter>

#include "host/ui/widgets/Style.h"

namespace lumora::ui {

namespace {
constexpr int kSpokes = 12;
constexpr int kFrameMs = 80;
}  // namespace

Spinner::Spinner(int diameter, QWidget* parent) : QWidget(parent), diameter_(diameter) {
  setFixedSize(diameter, diameter);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % kSpokes;
    update();
  });
}

// Spinning only while visible: a hidden spinner costs no wake-ups.
void Spinner::showEvent(QShowEvent*) {
  timer_.start();
}
void Spinner::hideEvent(QHideEvent*) {
  timer_.stop();
}

void Spinner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(width() / 2.0, height() / 2.0);
  const double outer = diameter_ / 2.0;
  const double inner = outer * 0.5;
  const QColor base = basePalette(this).color(QPalette::WindowText);
  QPen pen;
  pen.setWidthF(diameter_ / 11.0);
  pen.setCapStyle(Qt::RoundCap);
  for (int i = 0; i < kSpokes; ++i) {
    // Spokes fade behind the brightest one, which runs clockwise.
    const int age = (step_ - i + kSpokes) % kSpokes;
    QColor color = base;
    color.setAlphaF(static_cast<float>(1.0 - 0.75 * age / (kSpokes - 1.0)));
    pen.setColor(color);
    painter.setPen(pen);
    painter.save();
    painter.rotate(i * 360.0 / kSpokes);
    painter.drawLine(QPointF(0, -inner), QPointF(0, -outer + pen.widthF() / 2.0));
    painter.restore();
  }
}

}  // namespace lumora::ui
