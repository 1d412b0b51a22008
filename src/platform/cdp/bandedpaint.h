#pragma once

#include "platform/result.h"

#include <QImage>
#include <QRect>
#include <QSize>

#include <functional>

namespace snapvel::cdp {

// Paints one rectangle of the document into an image of exactly its size.
using PaintBand = std::function<Result<QImage>(const QRect &band)>;

// The tallest band, up to the preferred height, whose decoded picture takes
// at most 256 MiB at this width.
int bandHeightFor(int width, int preferredHeight);

// Paints an area of the document from its top-left corner into one
// Format_RGB32 image. An area no taller than one band is painted at once;
// a taller one in as few bands of equal height as fit, each copied into the final image (allocated
// once, up front) and freed before the next is painted.
Result<QImage> paintInBands(QSize area, int bandHeight, const PaintBand &paintBand);

} // namespace snapvel::cdp
