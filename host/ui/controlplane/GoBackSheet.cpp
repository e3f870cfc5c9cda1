#include "host/ui/controlplane/GoBackSheet.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "host/ui/widgets/ActionButton.h"
#include "host/ui/widgets/Shapes.h"
#include "host/ui/widgets/Style.h"

namespace lumora::ui {

GoBackSheet::GoBackSheet(host::SnapshotModel& model, QWidget* parent)
    : QDialog(parent), model_(model) {
  setObjectName(QStringLiteral("GoBackSheet"));
  setWindowTitle(tr("Go back in time"));
  setWindowModality(Qt::WindowModal);
  setFixedWidth(460);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(14);

  column->addWidget(new StyledLabel(tr("Go back in time"), textFont(TextStyle::Title2, true),
                                    Foreground::Primary, this));
  auto* explain = new StyledLabel(tr("Pick a checkpoint. Restoring never overwrites — you get a "
                                     "side-by-side .restored copy."),
                                  textFont(TextStyle::Callout), Foreground::Secondary, this);
  explain->setWordWrap(true);
  column->addWidget(explain);

  empty_ = new StyledLabel(tr("No checkpoints yet. Use “Save a checkpoint” first."), systemFont(13),
                           Foreground::Tertiary, this);
  empty_->setObjectName(QStringLiteral("emptyText"));
  empty_->setContentsMargins(0, 20, 0, 20);
  column->addWidget(empty_);

  scroll_ = new QScrollArea(this);
  scroll_->setObjectName(QStringLiteral("checkpointList"));
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->viewport()->setAutoFillBackground(false);
  rows_ = nullptr;
  column->addWidget(scroll_);

  auto* footer = new QHBoxLayout;
  footer->addStretch(1);
  close_ = new QPushButton(tr("Close"), this);
  close_->setObjectName(QStringLiteral("close"));
  close_->setAutoDefault(false);
  // Escape (the cancel key) rejects the dialog, as "Close" does.
  QObject::connect(close_, &QPushButton::clicked, this, &QDialog::reject);
  footer->addWidget(close_);
  column->addLayout(footer);

  render();
  QObject::connect(&model_, &host::SnapshotModel::itemsChanged, this, &GoBackSheet::render);
}

QList<ActionButton*> GoBackSheet::restoreButtons() const {
  if (rows_ == nullptr) return {};
  return rows_->findChildren<ActionButton*>(QStringLiteral("restore"));
}

void GoBackSheet::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && rows_ != nullptr) {
    for (auto* panel : rows_->findChildren<RoundedPanel*>()) panel->setFill(blackFill(0.2));
  }
}

void GoBackSheet::render() {
  const auto& items = model_.items();
  empty_->setVisible(items.isEmpty());
  scroll_->setVisible(!items.isEmpty());

  auto* content = new QWidget;
  content->setAutoFillBackground(false);
  auto* list = new QVBoxLayout(content);
  list->setContentsMargins(0, 0, 0, 0);
  list->setSpacing(8);
  for (const host::SnapshotItem& item : items) {
    auto* row = new RoundedPanel(10, content);
    row->setFill(blackFill(0.2));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(12, 12, 12, 12);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* name =
        new StyledLabel(item.name, systemFont(15, QFont::DemiBold), Foreground::Primary, row);
    name->setObjectName(QStringLiteral("itemName"));
    name->setElided(true);
    auto* facts = new StyledLabel(item.created + QStringLiteral(" · ") + item.size, systemFont(12),
                                  Foreground::Secondary, row);
    facts->setObjectName(QStringLiteral("itemFacts"));
    facts->setElided(true);
    texts->addWidget(name);
    texts->addWidget(facts);
    line->addLayout(texts, 1);
    auto* restore = new ActionButton(tr("Restore"), ActionButton::Kind::Prominent, row);
    restore->setObjectName(QStringLiteral("restore"));
    restore->setTint(green());
    // A dialog makes its buttons auto-default, so Return would restore the
    // focused checkpoint: only an explicit click restores.
    restore->setAutoDefault(false);
    restore->setDefault(false);
    // The item is copied into the action: a later listing may replace the
    // model's list while the sheet is open.
    QObject::connect(restore, &QPushButton::clicked, this, [this, item] {
      model_.restore(item);
      accept();
    });
    line->addWidget(restore, 0, Qt::AlignVCenter);
    list->addWidget(row);
  }
  scroll_->setWidget(content);  // deletes the previous content
  rows_ = content;

  // As high as the rows, but never above 280; beyond that the list scrolls.
  const int contentHeight = content->sizeHint().height();
  scroll_->setFixedHeight(std::min(contentHeight, kMaxListHeight));
  adjustSize();
}

}  // namespace lumora::ui
