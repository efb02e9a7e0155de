#pragma once

#include <QFont>

namespace tolvane {

// The sans-serif face the layout was drawn for is not on Linux; this is the nearest one we ship
// with (Liberation Sans has the same widths as the usual Windows sans-serif), with fallbacks.
QFont sansFont(qreal pointSize);

// Captions of keys and frames: small enough that "Check Connection" fits its fixed button.
inline constexpr qreal kCaptionPointSize = 8;

}  // namespace tolvane
