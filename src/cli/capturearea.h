#pragma once

#include "platform/browser.h"

#include <QSize>

namespace snapvel::cli {

// The area the command paints, in CSS pixels: the scrolling element's whole
// scroll size, never less than the viewport the page was laid out in (so a
// short page still fills its first screen); with viewportOnly the viewport
// alone. Sizes beyond what an int holds come back as the largest int, which
// the capture refuses as too large.
QSize captureAreaFor(const DocumentMetrics &metrics, QSize viewport, bool viewportOnly);

// The picture of an area painted at a device scale, in pixels.
struct PictureSize
{
    qint64 width = 0;
    qint64 height = 0;
    // 4 a pixel, at most the largest qint64.
    qint64 bytes() const;
};
PictureSize pictureSizeFor(QSize area, qreal scale);

} // namespace snapvel::cli
