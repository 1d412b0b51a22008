#include "support/stripedpage.h"

#include <algorithm>
#include <cstdlib>

namespace snapvel::test {

QRgb stripeColour(int row)
{
    // 32 levels per channel, 8 apart; the index is scrambled by an odd
    // multiplier (a bijection modulo 2^15) so neighbouring rows differ in
    // every channel more often than not.
    const unsigned index = (static_cast<unsigned>(row) * 7919u) & 0x7fffu;
    const int red = static_cast<int>(index & 31u) * 8 + 4;
    const int green = static_cast<int>((index >> 5) & 31u) * 8 + 4;
    const int blue = static_cast<int>((index >> 10) & 31u) * 8 + 4;
    return qRgb(red, green, blue);
}

QByteArray stripedPageHtml(int width, int height, int rowHeight)
{
    QByteArray html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>"
                      "html,body{margin:0;padding:0;border:0}"
                      "div{margin:0;padding:0;width:" +
                      QByteArray::number(width) + "px}</style></head><body>";
    html.reserve(html.size() + (height / std::max(1, rowHeight) + 1) * 64);
    for (int top = 0, row = 0; top < height; top += rowHeight, ++row) {
        const int tall = std::min(rowHeight, height - top);
        html += "<div style=\"height:" + QByteArray::number(tall) + "px;background:#" +
                QByteArray::number(stripeColour(row) & 0xffffff, 16).rightJustified(6, '0') +
                "\"></div>";
    }
    html += "</body></html>";
    return html;
}

int checkStripes(const QImage &image, int width, int height, int rowHeight, int tolerance)
{
    if (image.width() != width || image.height() != height)
        return 0;
    const int columns[] = {0, width / 4, width / 2, width * 3 / 4, width - 1};
    const auto near = [tolerance](int got, int expected) {
        return std::abs(got - expected) <= tolerance;
    };
    for (int top = 0, row = 0; top < height; top += rowHeight, ++row) {
        const int y = top + std::min(rowHeight, height - top) / 2;
        const QRgb expected = stripeColour(row);
        for (int x : columns) {
            const QRgb got = image.pixel(x, y);
            if (!near(qRed(got), qRed(expected)) || !near(qGreen(got), qGreen(expected)) ||
                !near(qBlue(got), qBlue(expected)))
                return row;
        }
    }
    return -1;
}

} // namespace snapvel::test
