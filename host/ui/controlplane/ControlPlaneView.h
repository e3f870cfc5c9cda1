#pragma once
// The control plane: a header with the machine's name, one row per feature
// switch, the checkpoint card and a footer; it owns its two models and opens
// the restore sheet.

#include <QMap>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "host/core/controlplane/ControlPlaneModel.h"
#include "host/core/controlplane/SnapshotModel.h"
#include "host/core/system/HostEnvironment.h"
#include "host/ui/controlplane/GoBackSheet.h"

class QVBoxLayout;

namespace lumora::ui {

class PillarRow;
class SnapshotCard;
class StyledLabel;

class ControlPlaneView : public QWidget {
  Q_OBJECT
 public:
  // This machine's tools and its name.
  explicit ControlPlaneView(QWidget* parent = nullptr);
  // The given tools and machine name (an empty name reads "your computer").
  ControlPlaneView(host::HostEnvironment environment, std::optional<QString> host,
                   QWidget* parent = nullptr);
  ~ControlPlaneView() override;

  host::ControlPlaneModel& model() const { return *model_; }
  host::SnapshotModel& snaps() const { return *snaps_; }
  bool showGoBack() const { return showGoBack_; }
  void setShowGoBack(bool show);
  const QString& host() const { return host_; }

  StyledLabel* headerLabel() const { return header_; }
  StyledLabel* hostLabel() const { return hostLabel_; }
  // The rows in list order.
  QList<PillarRow*> rows() const;
  SnapshotCard* card() const { return card_; }
  GoBackSheet* sheet() const { return sheet_; }

 signals:
  void showGoBackChanged(bool show);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void renderPillars();

  std::unique_ptr<host::ControlPlaneModel> model_;
  std::unique_ptr<host::SnapshotModel> snaps_;
  bool showGoBack_ = false;  // view state: the sheet is open
  bool shownOnce_ = false;   // the first show refreshes the models
  QString host_;
  StyledLabel* header_;
  StyledLabel* hostLabel_;
  QVBoxLayout* rowsColumn_;
  QMap<QString, PillarRow*> rowsById_;  // keyed by pillar id
  SnapshotCard* card_;
  QPointer<GoBackSheet> sheet_;
};

}  // namespace lumora::ui
