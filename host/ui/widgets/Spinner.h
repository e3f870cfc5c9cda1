#pragma once
// An indeterminate progress indicator: twelve spokes whose brightness turns
// around the circle.

#include <QTimer>
#include <QWidget>

namespace lumora::ui {

class Spinner : public QWidget {
  Q_OBJECT
 public:
  // `diameter` in device-independent pixels (32 for the large control size).
  explicit Spinner(int diameter = 32, QWidget* parent = nullptr);

  bool isSpinning() const { return timer_.isActive(); }
  int step() const { return step_; }
  QSize sizeHint() const override { return {diameter_, diameter_}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  int diameter_;
  int step_ = 0;  // the brightest spoke
  QTimer timer_;
};

}  // namespace lumora::ui
