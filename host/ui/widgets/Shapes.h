#pragma once
// Filled and outlined shapes behind content: the rounded rectangles of rows
// and cards, and the capsule around a status word.

#include <QColor>
#include <QLabel>
#include <QWidget>

namespace lumora::ui {

// A rounded rectangle behind its layout's content, filled and outlined.
class RoundedPanel : public QWidget {
  Q_OBJECT
 public:
  explicit RoundedPanel(double radius, QWidget* parent = nullptr);

  void setFill(const QColor& fill);
  // An outline of width 1 drawn over the fill; invalid means none.
  void setOutline(const QColor& outline);
  QColor fill() const { return fill_; }
  QColor outline() const { return outline_; }
  double radius() const { return radius_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double radius_;
  QColor fill_;
  QColor outline_;
};

// A text inside a capsule outline (continuous corners, line width 1).
class CapsuleLabel : public QLabel {
  Q_OBJECT
 public:
  explicit CapsuleLabel(QWidget* parent = nullptr);

  void setColors(const QColor& text, const QColor& outline);
  QColor textColor() const { return textColor_; }
  QColor outlineColor() const { return outline_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor textColor_;
  QColor outline_;
};

// A horizontal hairline in the palette's separator colour.
class Divider : public QWidget {
  Q_OBJECT
 public:
  explicit Divider(QWidget* parent = nullptr);
  QColor lineColor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace lumora::ui
