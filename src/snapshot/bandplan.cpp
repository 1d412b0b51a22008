#include "snapshot/bandplan.h"

#include <algorithm>
#include <cmath>

namespace snapvel {

QList<Band> planBands(QSize area, qreal scale, int preferredHeight)
{
    QList<Band> bands;
    if (area.isEmpty() || scale <= 0)
        return bands;
    const qint64 pixelWidth = std::max<qint64>(1, std::llround(area.width() * scale));
    const qint64 rowsByMemory = std::max<qint64>(1, kMaxBandBytes / (pixelWidth * 4));
    const qint64 cssRowsByMemory = std::max<qint64>(1, qint64(rowsByMemory / scale));
    const qint64 tallest = std::clamp<qint64>(cssRowsByMemory, 1, std::max(1, preferredHeight));
    const qint64 count = (area.height() + tallest - 1) / tallest;
    const int height = int((area.height() + count - 1) / count);
    const auto pixelRow = [scale](int y) { return int(std::llround(y * scale)); };
    for (int top = 0; top < area.height(); top += height) {
        const int bottom = std::min(area.height(), top + height);
        bands.append({QRect(0, top, area.width(), bottom - top), pixelRow(top),
                      pixelRow(bottom) - pixelRow(top)});
    }
    return bands;
}

QString unreadableBand()
{
    return QStringLiteral("The browser's picture of the page could not be read.");
}

QString bandSizeMismatch(QSize painted, QSize asked)
{
    return QStringLiteral("The browser painted %1 x %2 pixels where %3 x %4 were asked for.")
        .arg(painted.width())
        .arg(painted.height())
        .arg(asked.width())
        .arg(asked.height());
}

} // namespace snapvel
