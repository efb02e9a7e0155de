#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QRect>
#include <QString>

class QWidget;

namespace tolvane {

// The program's icon at the sizes title bars show (16 to 64 pixels), and with the larger ones
// that task switchers and docks show too (up to 256 pixels, for a screen at twice the scale).
QIcon appIcon();
QIcon appIconAllSizes();

// Gives the program's main window its icon at every size. Each size of a window's icon is decoded
// and sent to the window system before the window appears, and the two largest would delay that
// by a few milliseconds, so they follow once the window has been shown.
void setMainWindowIcon(QWidget* window);

// A cursor key's picture at 1x and 2x: drawn black, or in the palette's button-text colour
// where black would not stand out from the button face.
QIcon arrowIcon(const QString& name, const QPalette& palette);

// Contrast ratio of two colours, 1 to 21, from their relative luminance (sRGB, as the web's
// accessibility guidelines define it).
double contrastRatio(const QColor& a, const QColor& b);

// Text in `wanted` reads on `background` from 4.5:1; otherwise the palette's own text colour.
QColor readableText(const QColor& wanted, const QColor& background, const QColor& fallback);
inline constexpr double kTextContrast = 4.5;
// Pictures need less: 3:1 against what is behind them.
inline constexpr double kPictureContrast = 3.0;

// `window` moved as little as needed to lie wholly inside `screen` (its top-left kept in when it
// is larger).
QRect keptOnScreen(const QRect& window, const QRect& screen);

}  // namespace tolvane
