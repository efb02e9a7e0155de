#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QRect>
#include <QString>

namespace tolvane {

// The program's icon, at every size drawn (16 to 256 pixels).
QIcon appIcon();

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
