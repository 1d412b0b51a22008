#pragma once

#include <QByteArray>
#include <QImage>
#include <QRgb>

namespace snapvel::test {

// The colour of row `row` of a striped page. Distinct for the first 32,768
// rows; any two rows differ by at least 8 in some channel.
QRgb stripeColour(int row);

// A page exactly width x height CSS pixels, margin 0, made of rows rowHeight
// tall (the last may be shorter), row i coloured stripeColour(i).
QByteArray stripedPageHtml(int width, int height, int rowHeight = 10);

// Checks a picture of a striped page: its size, and in every row the middle
// line at the left edge, a quarter, the middle, three quarters and the right
// edge. Returns the first wrong row, or -1 when all are right.
// Each channel may be off by `tolerance` (for lossy formats).
int checkStripes(const QImage &image, int width, int height, int rowHeight = 10, int tolerance = 0);

} // namespace snapvel::test
