#include "host/ui/app/StatusBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>

#include "host/core/LumoraHostApp.h"

namespace lumora::ui {

StatusDot::StatusDot(QWidget* parent) : QWidget(parent), color_(QColor::fromRgba(kOrange)) {
  setFixedSize(8, 8);
}

void StatusDot::setColor(const QColor& color) {
  color_ = color;
  update();
}

void StatusDot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color_);
  painter.drawEllipse(QRectF(rect()));
}

StatusBar::StatusBar(host::LumoraHostApp& app, QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setSpacing(8);
  row->setContentsMargins(24, 12, 24, 12);
  dot_ = new StatusDot(this);
  status_ = new StyledLabel(QString(), textFont(TextStyle::Footnote), Foreground::Secondary, this);
  files_ = new StyledLabel(tr("Files: Finder → Lumora"), textFont(TextStyle::Footnote),
                           Foreground::Tertiary, this);
  row->addWidget(dot_, 0, Qt::AlignVCenter);
  // The text is shown whole: a long failure wraps onto more lines rather
  // than widening the window or losing its reason. The spacer's room goes to
  // the text, which stays left-aligned.
  status_->setWordWrap(true);
  status_->installEventFilter(this);
  row->addWidget(status_, 1, Qt::AlignVCenter);
  row->addWidget(files_, 0, Qt::AlignVCenter);
  render(app.status());
  QObject::connect(&app, &host::LumoraHostApp::statusChanged, this, &StatusBar::render);
}

bool StatusBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == status_ && event->type() == QEvent::Resize) fitStatusHeight();
  return QWidget::eventFilter(watched, event);
}

void StatusBar::fitStatusHeight() {
  if (status_->width() > 0) status_->setMinimumHeight(status_->heightForWidth(status_->width()));
}

void StatusBar::render(const QString& status) {
  status_->setText(status);
  fitStatusHeight();
  status_->setToolTip(status);
  dot_->setColor(host::isConnectedStatus(status) ? green() : QColor::fromRgba(kOrange));
}

}  // namespace lumora::ui
