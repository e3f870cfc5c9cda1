#pragma once
// A switch drawn as a switch: a capsule track with a round knob, green when
// on. Clicking it does not change its value; it only announces the flip, and
// the owner decides the new value (the model detects the real state).

#include <QAbstractButton>

namespace lumora::ui {

class SwitchControl : public QAbstractButton {
  Q_OBJECT
  Q_PROPERTY(bool on READ isOn WRITE setOn NOTIFY onChanged)

 public:
  explicit SwitchControl(QWidget* parent = nullptr);

  bool isOn() const { return on_; }
  void setOn(bool on);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

  // The track colour for the current value and palette (green when on).
  QColor trackColor() const;

 signals:
  void onChanged(bool on);
  // The user flipped the switch (click, or Space while focused).
  void flipped();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool on_ = false;
};

}  // namespace lumora::ui
