#pragma once
// The restore sheet: a window-modal dialog over the control plane listing the
// checkpoints, each with a "Restore" button. "Close" and Escape dismiss it.

#include <QDialog>

#include "host/core/controlplane/SnapshotModel.h"

class QScrollArea;
class QVBoxLayout;

namespace lumora::ui {

class ActionButton;
class StyledLabel;

class GoBackSheet : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMaxListHeight = 280;

  explicit GoBackSheet(host::SnapshotModel& model, QWidget* parent = nullptr);

  StyledLabel* emptyLabel() const { return empty_; }
  QScrollArea* list() const { return scroll_; }
  QPushButton* closeButton() const { return close_; }
  // The "Restore" buttons, one per item, in list order.
  QList<ActionButton*> restoreButtons() const;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void render();

  host::SnapshotModel& model_;
  StyledLabel* empty_;
  QScrollArea* scroll_;
  QWidget* rows_;  // the scroll area's content, rebuilt on every listing
  QPushButton* close_;
};

}  // namespace lumora::ui
