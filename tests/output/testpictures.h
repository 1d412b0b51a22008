#pragma once

#include <QColor>
#include <QDir>
#include <QImage>
#include <QStringList>

namespace snapvel::test {

// A capture whose every pixel differs from its neighbours, with marked
// corners, so that flipped, shifted or swapped rows and channels show.
inline QImage makeCapture(int width, int height, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb((x * 7 + y) & 0xff, (y * 13 + x * 3) & 0xff, (x * y + 91) & 0xff);
    }
    image.setPixel(0, 0, qRgb(255, 0, 0));
    image.setPixel(width - 1, 0, qRgb(0, 255, 0));
    image.setPixel(0, height - 1, qRgb(0, 0, 255));
    image.setPixel(width - 1, height - 1, qRgb(255, 255, 0));
    return format == QImage::Format_RGB32 ? image : image.convertToFormat(format);
}

// Every entry of a folder, hidden ones included, sorted by name.
inline QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace snapvel::test
