#pragma once
// The few symbols the window shows. Each comes from the desktop's icon theme
// when the theme has one of the same meaning, otherwise from our own SVG
// drawing shipped in the program's resources.

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace lumora::ui {

enum class Symbol { CameraAperture, ClockArrowCirclePath, CheckmarkCircleFill };

QIcon symbolIcon(Symbol symbol);
// Our own drawing of the symbol (the fallback), always available.
QIcon bundledSymbolIcon(Symbol symbol);
// The application icon: the green diamond.
QIcon appIcon();

// `icon` rendered at `size` device-independent pixels in one colour, keeping
// its shape (alpha) and replacing its colours: symbolic icons take the colour
// of the text they stand beside.
QPixmap tinted(const QIcon& icon, int size, const QColor& color, qreal devicePixelRatio);

}  // namespace lumora::ui
