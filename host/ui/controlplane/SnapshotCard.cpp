#include "host/ui/controlplane/SnapshotCard.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "host/ui/widgets/ActionButton.h"
#include "host/ui/widgets/Icons.h"
#include "host/ui/widgets/Style.h"

namespace lumora::ui {

SnapshotCard::SnapshotCard(host::SnapshotModel& model, std::function<void()> showGoBack,
                           QWidget* parent)
    : RoundedPanel(14, parent), model_(model), showGoBack_(std::move(showGoBack)) {
  setObjectName(QStringLiteral("SnapshotCard"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(18, 18, 18, 18);
  column->setSpacing(12);

  auto* heading = new QHBoxLayout;
  heading->setSpacing(12);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(new StyledLabel(tr("Time machine"), systemFont(17, QFont::DemiBold),
                                   Foreground::Primary, this));
  texts->addWidget(new StyledLabel(tr("save a full checkpoint you can return to"), systemFont(12),
                                   Foreground::Secondary, this));
  heading->addLayout(texts);
  heading->addStretch(1);
  column->addLayout(heading);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(10);
  save_ = new ActionButton(tr("Save a checkpoint"), ActionButton::Kind::Prominent, this);
  save_->setObjectName(QStringLiteral("saveCheckpoint"));
  save_->setIcon(symbolIcon(Symbol::CameraAperture));
  save_->setTint(green());
  goBack_ = new ActionButton(tr("Go back in time"), ActionButton::Kind::Bordered, this);
  goBack_->setObjectName(QStringLiteral("goBackInTime"));
  goBack_->setIcon(symbolIcon(Symbol::ClockArrowCirclePath));
  for (ActionButton* button : {save_, goBack_}) {
    // Equal shares of the row, whatever the titles' lengths.
    button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    buttons->addWidget(button, 1);
  }
  column->addLayout(buttons);
  QObject::connect(save_, &QPushButton::clicked, &model_, &host::SnapshotModel::save);
  QObject::connect(goBack_, &QPushButton::clicked, this, [this] {
    model_.refresh();
    if (showGoBack_) showGoBack_();
  });

  message_ = new StyledLabel(QString(), systemFont(12), Foreground::Secondary, this);
  message_->setObjectName(QStringLiteral("snapshotMessage"));
  message_->setWordWrap(true);
  column->addWidget(message_);

  setFill(blackFill(0.25));
  render();
  followApplicationPalette(this);
  QObject::connect(&model_, &host::SnapshotModel::busyChanged, this, &SnapshotCard::render);
  QObject::connect(&model_, &host::SnapshotModel::messageChanged, this, &SnapshotCard::render);
}

int SnapshotCard::visibleRowCount() const {
  return message_->isHidden() ? 2 : 3;
}

void SnapshotCard::changeEvent(QEvent* event) {
  RoundedPanel::changeEvent(event);
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange) render();
}

bool SnapshotCard::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) render();
  return RoundedPanel::eventFilter(watched, event);
}

void SnapshotCard::render() {
  save_->setEnabled(!model_.busy());
  goBack_->setEnabled(!model_.busy());
  message_->setText(model_.message());
  message_->setHidden(model_.message().isEmpty());
  setOutline(secondaryColor(basePalette(this), 0.15));
}

}  // namespace lumora::ui
