#include "output/bmpwriter.h"

#include "output/replacingwrite.h"
#include "output/writeerror.h"

#include <QIODevice>
#include <QImage>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

namespace snapvel {

namespace bmp {

quint64 rowSize(int width)
{
    return (quint64(width) * 3 + 3) / 4 * 4;
}

quint64 fileSize(QSize size)
{
    return PixelDataOffset + rowSize(size.width()) * quint64(size.height());
}

} // namespace bmp

namespace {

// Rows are converted and written in pieces of about this many bytes.
constexpr quint64 ChunkBytes = 1 << 20;

using Header = std::array<uchar, bmp::PixelDataOffset>;

template <typename T> void put(Header &header, int offset, T value)
{
    qToLittleEndian(value, header.data() + offset);
}

Header headerFor(QSize size)
{
    const quint64 pixelBytes = bmp::rowSize(size.width()) * quint64(size.height());
    Header header{};
    header[0] = 'B';
    header[1] = 'M';
    put<quint32>(header, 2, quint32(bmp::fileSize(size)));
    put<quint32>(header, 10, bmp::PixelDataOffset);
    put<quint32>(header, 14, bmp::InfoHeaderSize);
    put<qint32>(header, 18, size.width());
    put<qint32>(header, 22, size.height()); // positive: rows stored bottom-up
    put<quint16>(header, 26, 1);            // colour planes
    put<quint16>(header, 28, 24);           // bits per pixel
    put<quint32>(header, 30, 0);            // BI_RGB, uncompressed
    put<quint32>(header, 34, quint32(pixelBytes));
    put<qint32>(header, 38, 2835); // 72 dots per inch, in dots per metre
    put<qint32>(header, 42, 2835);
    // Colours used and important colours stay 0: no palette.
    return header;
}

// Formats whose 32-bit pixels can be read as they are; others are converted
// to one of these a few rows at a time.
bool readableAsIs(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32;
}

void packRow(const QRgb *source, int width, uchar *target)
{
    for (int x = 0; x < width; ++x) {
        const QRgb pixel = source[x];
        target[0] = uchar(qBlue(pixel));
        target[1] = uchar(qGreen(pixel));
        target[2] = uchar(qRed(pixel));
        target += 3;
    }
}

// A device reports only text; the error number the failing write left is
// the best there is, and a device that does not use the system leaves none.
Status writeBytes(QIODevice &device, const void *data, qint64 size)
{
    errno = 0;
    if (device.write(static_cast<const char *>(data), size) == size)
        return Status::success();
    const int errorNumber = errno;
    return Failure{plainWriteReason(WriteStep::Write, errorNumber, device.errorString())};
}

QString tooLargeMessage(const QString &path, QSize size)
{
    return QStringLiteral("Cannot write %1: the picture (%2 x %3 pixels) is too large for a BMP "
                          "file (%4 bytes, the format allows at most 4 GiB).")
        .arg(path)
        .arg(size.width())
        .arg(size.height())
        .arg(bmp::fileSize(size));
}

} // namespace

Status writeBmp(const QImage &image, QIODevice &device)
{
    if (image.isNull())
        return Failure{QStringLiteral("there is no picture")};
    const QSize size = image.size();
    if (bmp::fileSize(size) > bmp::MaxFileSize)
        return Failure{QStringLiteral("the picture is too large for a BMP file")};

    const Header header = headerFor(size);
    if (Status written = writeBytes(device, header.data(), qint64(header.size())); !written)
        return written;

    const int width = size.width();
    const quint64 stride = bmp::rowSize(width);
    const int rowsPerChunk =
        int(std::clamp<quint64>(ChunkBytes / stride, 1, quint64(size.height())));
    // Padding bytes are never written into, so they stay zero.
    std::vector<uchar> chunk(stride * quint64(rowsPerChunk), 0);
    const bool asIs = readableAsIs(image.format());

    // Bottom-up: the file's first row is the picture's last.
    for (int end = size.height(); end > 0;) {
        const int rows = std::min(rowsPerChunk, end);
        const int first = end - rows;
        QImage converted;
        if (!asIs)
            converted = image.copy(0, first, width, rows).convertToFormat(QImage::Format_RGB32);
        for (int i = 0; i < rows; ++i) {
            const int y = end - 1 - i;
            const uchar *line = asIs ? image.constScanLine(y) : converted.constScanLine(y - first);
            packRow(reinterpret_cast<const QRgb *>(line), width, chunk.data() + stride * i);
        }
        if (Status written = writeBytes(device, chunk.data(), qint64(stride * rows)); !written)
            return written;
        end = first;
    }
    return Status::success();
}

Status saveBmp(const QImage &image, const QString &path)
{
    if (image.isNull())
        return cannotWrite(path, QStringLiteral("there is no picture to save yet"));
    if (bmp::fileSize(image.size()) > bmp::MaxFileSize)
        return Failure{tooLargeMessage(path, image.size())};
    return writeReplacing(path, [&image](QIODevice &file) { return writeBmp(image, file); });
}

} // namespace snapvel
