#include "host/ui/controlplane/ControlPlaneView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "host/ui/controlplane/GoBackSheet.h"
#include "host/ui/controlplane/PillarRow.h"
#include "host/ui/controlplane/SnapshotCard.h"
#include "host/ui/widgets/Style.h"
#include "platform/foundation/HostName.h"

namespace lumora::ui {

namespace {

std::optional<QString> machineName() {
  if (auto name = localizedHostName()) return QString::fromStdString(*name);
  return std::nullopt;
}

}  // namespace

ControlPlaneView::ControlPlaneView(QWidget* parent)
    : ControlPlaneView(host::HostEnvironment{}, machineName(), parent) {}

ControlPlaneView::ControlPlaneView(host::HostEnvironment environment, std::optional<QString> host,
                                   QWidget* parent)
    : QWidget(parent),
      model_(std::make_unique<host::ControlPlaneModel>(environment)),
      snaps_(std::make_unique<host::SnapshotModel>(environment)),
      host_(host.value_or(tr("your computer"))) {
  setObjectName(QStringLiteral("ControlPlaneView"));
  setFixedWidth(460);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(24, 24, 24, 24);
  column->setSpacing(0);

  auto* header = new QHBoxLayout;
  QFont headerFont = systemFont(12, QFont::DemiBold);
  headerFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.2);
  header_ = new StyledLabel(tr("LUMORA CONTROL PLANE"), headerFont, Foreground::Secondary, this);
  hostLabel_ = new StyledLabel(host_, systemFont(12), Foreground::Tertiary, this);
  hostLabel_->setObjectName(QStringLiteral("hostName"));
  hostLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // A long machine name gives way to the header, never widening the window.
  hostLabel_->setElided(true);
  header->addWidget(header_, 0, Qt::AlignVCenter);
  header->addSpacing(8);
  header->addWidget(hostLabel_, 1, Qt::AlignVCenter);
  column->addLayout(header);
  column->addSpacing(16);

  rowsColumn_ = new QVBoxLayout;
  rowsColumn_->setSpacing(0);
  rowsColumn_->setContentsMargins(0, 0, 0, 0);
  column->addLayout(rowsColumn_);

  column->addSpacing(6);
  card_ = new SnapshotCard(
      *snaps_, [this] { setShowGoBack(true); }, this);
  column->addWidget(card_);

  column->addSpacing(12);
  auto* footer = new StyledLabel(tr("Flip a switch. Lumora does the rest — no setup, no terminal."),
                                 systemFont(12), Foreground::Tertiary, this);
  footer->setObjectName(QStringLiteral("footer"));
  footer->setAlignment(Qt::AlignHCenter);
  footer->setWordWrap(true);
  column->addWidget(footer);

  QObject::connect(model_.get(), &host::ControlPlaneModel::pillarsChanged, this,
                   &ControlPlaneView::renderPillars);
}

ControlPlaneView::~ControlPlaneView() {
  // The sheet observes the snapshot model: it goes first.
  delete sheet_.data();
}

QList<PillarRow*> ControlPlaneView::rows() const {
  QList<PillarRow*> ordered;
  for (int i = 0; i < rowsColumn_->count(); ++i) {
    if (auto* row = qobject_cast<PillarRow*>(rowsColumn_->itemAt(i)->widget())) ordered << row;
  }
  return ordered;
}

void ControlPlaneView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  model_->refresh();
  snaps_->refresh();
}

void ControlPlaneView::renderPillars() {
  // Rows are kept by id, so a switch being pressed is not destroyed under the
  // pointer when the list is replaced; rows of ids that went away are removed.
  QMap<QString, PillarRow*> kept;
  while (rowsColumn_->count() > 0) {
    QLayoutItem* item = rowsColumn_->takeAt(0);
    delete item;
  }
  for (const host::Pillar& pillar : model_->pillars()) {
    PillarRow* row = rowsById_.take(pillar.id);
    if (row == nullptr) {
      const QString id = pillar.id;
      row = new PillarRow(
          pillar, [this, id] { model_->toggle(id); }, this);
    } else {
      row->setPillar(pillar);
    }
    kept.insert(pillar.id, row);
    rowsColumn_->addWidget(row);
    rowsColumn_->addSpacing(10);
    row->show();
  }
  for (PillarRow* gone : std::as_const(rowsById_)) gone->deleteLater();
  rowsById_ = kept;
}

void ControlPlaneView::setShowGoBack(bool show) {
  if (show == showGoBack_) return;
  if (!show) {
    // Dismissing goes through the sheet, whose end clears the flag.
    if (sheet_) sheet_->reject();
    return;
  }
  showGoBack_ = true;
  sheet_ = new GoBackSheet(*snaps_, this);
  sheet_->setAttribute(Qt::WA_DeleteOnClose);
  // Any way out of the sheet (Close, Escape, Restore, the window manager)
  // clears the flag; nothing else runs on dismissal.
  QObject::connect(sheet_, &QDialog::finished, this, [this] {
    showGoBack_ = false;
    emit showGoBackChanged(false);
  });
  sheet_->open();
  emit showGoBackChanged(true);
}

}  // namespace lumora::ui
