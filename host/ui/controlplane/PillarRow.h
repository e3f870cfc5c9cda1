#pragma once
// One feature switch: the switch, the title with its one-line explanation,
// and the status word in a capsule, on a rounded card that turns green when
// the feature is on.

#include <functional>

#include "host/core/controlplane/Pillar.h"
#include "host/ui/widgets/Shapes.h"

class QGraphicsOpacityEffect;

namespace lumora::ui {

class CapsuleLabel;
class StyledLabel;
class SwitchControl;

class PillarRow : public RoundedPanel {
  Q_OBJECT
 public:
  PillarRow(const host::Pillar& pillar, std::function<void()> onToggle, QWidget* parent = nullptr);

  // Shows `pillar` (a copy); the row keeps no other state.
  void setPillar(const host::Pillar& pillar);
  const host::Pillar& pillar() const { return pillar_; }

  SwitchControl* switchControl() const { return switch_; }
  // The switch's opacity: 0.4 while busy, else 1.
  double switchOpacity() const;
  StyledLabel* titleLabel() const { return title_; }
  StyledLabel* detailLabel() const { return detail_; }
  CapsuleLabel* statusPill() const { return pill_; }

 protected:
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void render();

  host::Pillar pillar_;
  std::function<void()> onToggle_;
  SwitchControl* switch_;
  QGraphicsOpacityEffect* switchOpacity_;
  StyledLabel* title_;
  StyledLabel* detail_;
  CapsuleLabel* pill_;
};

}  // namespace lumora::ui
