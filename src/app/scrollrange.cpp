#include "app/scrollrange.h"

#include <QScrollBar>

#include <algorithm>

namespace snapvel {

void applyScrollRange(QScrollBar *bar, int captureSize, int viewportSize)
{
    const int max = captureSize - viewportSize;
    // A capture smaller than the viewport has nothing to scroll: the range
    // is empty, and the minimum stays 0.
    bar->setRange(0, std::max(0, max));
    bar->setPageStep(std::max(1, viewportSize));
    bar->setSingleStep(20);
    if (max > 0)
        bar->setEnabled(true);
}

} // namespace snapvel
