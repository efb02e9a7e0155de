#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QString>

namespace tolvane {

// The sans-serif face the layout was drawn for is not on Linux; this is the nearest one we ship
// with (Liberation Sans has the same widths as the usual Windows sans-serif), with fallbacks.
QFont sansFont(qreal pointSize);
// Captions of keys and frames: small enough that "Check Connection" fits its fixed button.
inline constexpr qreal kCaptionPointSize = 8;

// The program's icon at the sizes title bars show (16 to 64 pixels); `large` adds the sizes of
// task switchers and docks (up to 256).
QIcon appIcon(bool large = false);

// A cursor key's picture at 1x and 2x: drawn black, or in the palette's button-text colour
// where black would not stand out from the button face.
QIcon arrowIcon(const QString& name, const QPalette& palette);

// Contrast ratio of two colours, 1 to 21, from their relative luminance (sRGB, as the web's
// accessibility guidelines define it).
double contrastRatio(const QColor& a, const QColor& b);

}  // namespace tolvane
