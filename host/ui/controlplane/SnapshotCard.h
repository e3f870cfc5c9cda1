#pragma once
// The "Time machine" card: its title, the two checkpoint buttons and, when
// there is one, the model's last message.

#include <functional>

#include "host/core/controlplane/SnapshotModel.h"
#include "host/ui/widgets/Shapes.h"

namespace lumora::ui {

class ActionButton;
class StyledLabel;

class SnapshotCard : public RoundedPanel {
  Q_OBJECT
 public:
  // `showGoBack` opens the restore sheet (the parent's flag).
  SnapshotCard(host::SnapshotModel& model, std::function<void()> showGoBack,
               QWidget* parent = nullptr);

  ActionButton* saveButton() const { return save_; }
  ActionButton* goBackButton() const { return goBack_; }
  StyledLabel* messageLabel() const { return message_; }
  // Rows the card shows: 2, or 3 with a message.
  int visibleRowCount() const;

 protected:
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void render();

  host::SnapshotModel& model_;
  std::function<void()> showGoBack_;
  ActionButton* save_;
  ActionButton* goBack_;
  StyledLabel* message_;
};

}  // namespace lumora::ui
