#include "cli/capturearea.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace snapvel::cli {

namespace {

int side(qint64 measured, int viewport)
{
    return int(std::clamp<qint64>(measured, viewport, std::numeric_limits<int>::max()));
}

} // namespace

QSize captureAreaFor(const DocumentMetrics &metrics, QSize viewport, bool viewportOnly)
{
    if (viewportOnly)
        return viewport;
    return {side(metrics.scrollWidth, viewport.width()),
            side(metrics.scrollHeight, viewport.height())};
}

PictureSize pictureSizeFor(QSize area, qreal scale)
{
    return {std::llround(double(area.width()) * scale),
            std::llround(double(area.height()) * scale)};
}

qint64 PictureSize::bytes() const
{
    const double bytes = double(width) * double(height) * 4;
    return bytes >= double(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                               : qint64(bytes);
}

} // namespace snapvel::cli
