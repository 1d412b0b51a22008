#include "platform/cdp/bandedpaint.h"

#include <algorithm>
#include <cstring>

namespace snapvel::cdp {

namespace {

// The most memory one band's decoded picture may take.
constexpr qint64 MaxBandBytes = qint64(256) * 1024 * 1024;

Failure tooLarge(QSize area)
{
    return Failure{QStringLiteral("The page is too large to hold in memory (%1 x %2 pixels).")
                       .arg(area.width())
                       .arg(area.height())};
}

// The band as painted, checked and in the final image's format.
Result<QImage> paintChecked(const PaintBand &paintBand, const QRect &band)
{
    Result<QImage> painted = paintBand(band);
    if (!painted)
        return painted;
    QImage &image = painted.value();
    if (image.size() != band.size())
        return Failure{QStringLiteral("The browser painted %1 x %2 pixels where %3 x %4 were "
                                      "asked for.")
                           .arg(image.width())
                           .arg(image.height())
                           .arg(band.width())
                           .arg(band.height())};
    if (image.format() != QImage::Format_RGB32)
        image.convertTo(QImage::Format_RGB32);
    if (image.isNull())
        return tooLarge(band.size());
    return painted;
}

} // namespace

int bandHeightFor(int width, int preferredHeight)
{
    if (width <= 0)
        return std::max(1, preferredHeight);
    const qint64 rows = MaxBandBytes / (qint64(width) * 4);
    return static_cast<int>(std::clamp<qint64>(rows, 1, std::max(1, preferredHeight)));
}

Result<QImage> paintInBands(QSize area, int bandHeight, const PaintBand &paintBand)
{
    if (area.width() <= 0 || area.height() <= 0)
        return Failure{QStringLiteral("The page has nothing to paint.")};
    bandHeight = std::max(1, bandHeight);
    if (area.height() <= bandHeight)
        return paintChecked(paintBand, QRect(QPoint(0, 0), area));

    QImage image(area, QImage::Format_RGB32);
    if (image.isNull())
        return tooLarge(area);
    // Bands of equal height, so that none is needlessly large or small.
    const int bands = (area.height() + bandHeight - 1) / bandHeight;
    const int height = (area.height() + bands - 1) / bands;
    for (int top = 0; top < area.height(); top += height) {
        const QRect band(0, top, area.width(), std::min(height, area.height() - top));
        const Result<QImage> painted = paintChecked(paintBand, band);
        if (!painted)
            return Failure{painted.error()};
        const QImage &part = painted.value();
        for (int row = 0; row < part.height(); ++row)
            std::memcpy(image.scanLine(top + row), part.constScanLine(row),
                        static_cast<size_t>(area.width()) * 4);
    }
    return image;
}

} // namespace snapvel::cdp
