#pragma once
// Push buttons in the platform's two bordered looks: "prominent" (filled with
// the tint, white text) and "bordered" (a light neutral fill). Both draw an
// optional icon before the title and can stretch to share a row equally.

#include <QPushButton>

namespace lumora::ui {

class ActionButton : public QPushButton {
  Q_OBJECT
 public:
  enum class Kind { Prominent, Bordered };
  enum class Size { Regular, Large };

  ActionButton(const QString& title, Kind kind, QWidget* parent = nullptr);

  Kind kind() const { return kind_; }
  void setControlSize(Size size);
  Size controlSize() const { return size_; }
  // A tint for the prominent look (green unless told otherwise).
  void setTint(const QColor& tint);
  QColor tint() const { return tint_; }
  // Extra vertical padding around the title (beyond the control size's own).
  void setVerticalPadding(int pixels);

  // The fill and text colours the button is drawn with now.
  QColor fillColor() const;
  QColor titleColor() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int controlHeight() const;

  Kind kind_;
  Size size_ = Size::Regular;
  QColor tint_;
  int verticalPadding_ = 0;
};

}  // namespace lumora::ui
