#pragma once

#include "platform/browser.h"

#include <QtGlobal>

namespace snapvel {

// The size of a whole page in pixels, as measured from its document.
struct PageSize
{
    qint64 width = 0;
    qint64 height = 0;
};

// The capture's extra width beyond the document's scroll width.
inline constexpr qint64 kPageWidthMargin = 20;

// Width: the scroll width, plus the element's border and scroll-bar width
// (offset minus client width), plus a margin. Height: the scroll height plus
// the border and scroll-bar height, without a margin. 64-bit, so no sum of
// measured values can overflow.
PageSize pageSizeFrom(const DocumentMetrics &metrics);

} // namespace snapvel
