#include "ui/artwork.h"

#include <QImage>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cmath>

// The pictures live in this static library; register them before the first window needs them.
static void loadArtwork() {
    Q_INIT_RESOURCE(artwork);
}

namespace tolvane {
namespace {

// Title bars take the small sizes; task switchers and docks the large ones too (up to 256, for a
// screen at twice the scale), and a window system without the installed icon theme has only these.
constexpr std::array kWindowIconPixels{16, 32, 48, 64, 128, 256};
constexpr int kLargestTitleBarIcon = 64;
// Arrow pictures: 32 pixels on the key, 64 for a screen at twice the scale, 16 for small.
constexpr std::array kArrowPixels{16, 32, 64};
// Contrast a picture needs against what is behind it (less than text's 4.5:1).
constexpr double kPictureContrast = 3.0;

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c) {
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

}  // namespace

QFont sansFont(qreal pointSize) {
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                 QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    return font;
}

QIcon appIcon(bool large) {
    loadArtwork();
    QIcon icon;
    for (int size : kWindowIconPixels)
        if (large || size <= kLargestTitleBarIcon)
            icon.addFile(QStringLiteral(":/artwork/tolvane_%1.png").arg(size), QSize(size, size));
    return icon;
}

QIcon arrowIcon(const QString& name, const QPalette& palette) {
    loadArtwork();
    const QColor face = palette.color(QPalette::Button);
    const bool recolour = contrastRatio(Qt::black, face) < kPictureContrast;
    const QRgb ink = palette.color(QPalette::ButtonText).rgb();
    QIcon icon;
    for (int size : kArrowPixels) {
        const QString file = QStringLiteral(":/artwork/%1_%2.png").arg(name).arg(size);
        if (!recolour) {
            icon.addFile(file, QSize(size, size));  // read when first drawn
            continue;
        }
        QImage image = QImage(file).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(line[x]) == 255 && (line[x] & RGB_MASK) == 0) line[x] = ink;
        }
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace tolvane
