#include "host/ui/controlplane/PillarRow.h"

#include <QApplication>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "host/ui/widgets/Style.h"
#include "host/ui/widgets/SwitchControl.h"

namespace lumora::ui {

PillarRow::PillarRow(const host::Pillar& pillar, std::function<void()> onToggle, QWidget* parent)
    : RoundedPanel(14, parent), pillar_(pillar), onToggle_(std::move(onToggle)) {
  setObjectName(QStringLiteral("PillarRow:%1").arg(pillar.id));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(18, 18, 18, 18);
  row->setSpacing(16);

  switch_ = new SwitchControl(this);
  switch_->setAccessibleName(pillar.title);
  switchOpacity_ = new QGraphicsOpacityEffect(switch_);
  switch_->setGraphicsEffect(switchOpacity_);
  QObject::connect(switch_, &SwitchControl::flipped, this, [this] {
    if (onToggle_) onToggle_();
  });
  row->addWidget(switch_, 0, Qt::AlignVCenter);

  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  title_ = new StyledLabel(QString(), systemFont(17, QFont::DemiBold), Foreground::Primary, this);
  detail_ = new StyledLabel(QString(), systemFont(12), Foreground::Secondary, this);
  // The texts take the spacer's room and wrap when a detail is longer than
  // the row leaves beside the switch and the pill.
  title_->setWordWrap(true);
  detail_->setWordWrap(true);
  texts->addWidget(title_);
  texts->addWidget(detail_);
  row->addLayout(texts, 1);

  pill_ = new CapsuleLabel(this);
  pill_->setFont(systemFont(13, QFont::DemiBold));
  row->addWidget(pill_, 0, Qt::AlignVCenter);

  setFill(blackFill(0.25));
  render();
  followApplicationPalette(this);
}

void PillarRow::setPillar(const host::Pillar& pillar) {
  pillar_ = pillar;
  render();
}

double PillarRow::switchOpacity() const {
  return switchOpacity_->opacity();
}

void PillarRow::changeEvent(QEvent* event) {
  RoundedPanel::changeEvent(event);
  // Secondary colours come from the palette: follow a light/dark switch.
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange) render();
}

void PillarRow::resizeEvent(QResizeEvent* event) {
  RoundedPanel::resizeEvent(event);
  // Wrapped texts ask for the height their width needs; the enclosing
  // layouts size rows by width-independent hints otherwise. The texts' width
  // follows from the row's: margins, the switch, two gaps and the pill.
  const int textWidth =
      width() - 2 * 18 - switch_->sizeHint().width() - 2 * 16 - pill_->sizeHint().width();
  if (textWidth <= 0) return;
  for (StyledLabel* label : {title_, detail_}) {
    const int needed = label->heightForWidth(textWidth);
    if (needed > 0 && needed != label->minimumHeight()) label->setMinimumHeight(needed);
  }
}

bool PillarRow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) render();
  return RoundedPanel::eventFilter(watched, event);
}

void PillarRow::render() {
  switch_->setOn(pillar_.on);
  switch_->setEnabled(pillar_.toggleable && !pillar_.busy);
  switchOpacity_->setOpacity(pillar_.busy ? 0.4 : 1.0);
  title_->setText(pillar_.title);
  detail_->setText(pillar_.detail);
  pill_->setText(pillar_.status);
  const QPalette base = basePalette(this);
  if (pillar_.on) {
    pill_->setColors(green(), green(0.4));
    setOutline(green(0.5));
  } else {
    pill_->setColors(secondaryColor(base, 1.0), secondaryColor(base, 0.3));
    setOutline(secondaryColor(base, 0.15));
  }
}

}  // namespace lumora::ui
