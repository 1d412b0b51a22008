#pragma once

class QScrollBar;

namespace snapvel {

// Sets a bar's range to the part of the capture that does not fit into the
// viewport, and enables the bar when there is something to scroll. The bar is
// never disabled here and its value is left alone (Qt clamps it to the new
// range and reports the change like any other).
void applyScrollRange(QScrollBar *bar, int captureSize, int viewportSize);

} // namespace snapvel
