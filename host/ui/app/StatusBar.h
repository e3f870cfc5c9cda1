#pragma once
// The one-line status bar under the control plane: a coloured dot, the
// app's status text verbatim, and where to find the files.

#include <QWidget>

#include "host/ui/widgets/Style.h"

namespace lumora::host {
class LumoraHostApp;
}

namespace lumora::ui {

// A filled circle of 8 by 8.
class StatusDot : public QWidget {
  Q_OBJECT
 public:
  explicit StatusDot(QWidget* parent = nullptr);
  void setColor(const QColor& color);
  QColor color() const { return color_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_;
};

// The platform's standard orange (the dot while not connected).
inline constexpr QRgb kOrange = 0xFFFF9500;

class StatusBar : public QWidget {
  Q_OBJECT
 public:
  explicit StatusBar(host::LumoraHostApp& app, QWidget* parent = nullptr);

  StatusDot* dot() const { return dot_; }
  StyledLabel* statusLabel() const { return status_; }
  StyledLabel* filesLabel() const { return files_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void render(const QString& status);
  // The window sizes itself from its content's size hints, which know
  // nothing of wrapping: the text asks for the height its lines need.
  void fitStatusHeight();

  StatusDot* dot_;
  StyledLabel* status_;
  StyledLabel* files_;
};

}  // namespace lumora::ui
