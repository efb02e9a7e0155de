#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QRect>
#include <QString>

class QWidget;

namespace tolvane {

// The sans-serif face the layout was drawn for is not on Linux; this is the nearest one we ship
// with (Liberation Sans has the same widths as the usual Windows sans-serif), with fallbacks.
QFont sansFont(qreal pointSize);
// Captions of keys and frames: small enough that "Check Connection" fits its fixed button.
inline constexpr qreal kCaptionPointSize = 8;

// The program's icon at the sizes title bars show (16 to 64 pixels).
QIcon appIcon();

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

// `window` moved as little as needed to lie wholly inside `screen` (its top-left kept in when it
// is larger).
QRect keptOnScreen(const QRect& window, const QRect& screen);

}  // namespace tolvane
