#pragma once

#include "platform/result.h"

#include <QSize>
#include <QString>

class QImage;
class QIODevice;

namespace snapvel {

// Windows bitmap files: a 14-byte file header, a 40-byte information header,
// then 24-bit pixels (blue, green, red) in rows from the bottom up, each row
// padded with zero bytes to a multiple of 4.
namespace bmp {

inline constexpr quint32 FileHeaderSize = 14;
inline constexpr quint32 InfoHeaderSize = 40;
inline constexpr quint32 PixelDataOffset = FileHeaderSize + InfoHeaderSize;
// The file header stores the file's size in 32 bits.
inline constexpr quint64 MaxFileSize = 0xFFFFFFFFull;

// Bytes of one stored row of the given width, padding included.
quint64 rowSize(int width);
// Bytes of the whole file for a picture of this size.
quint64 fileSize(QSize size);

} // namespace bmp

// Writes the image to the device as a 24-bit bitmap file. The rows are
// converted a few at a time into a small buffer, so no second copy of the
// image is ever made. The failure's message is the reason alone, in plain
// words ("the disk is full"), for the caller to put beside the path.
Status writeBmp(const QImage &image, QIODevice &device);

// Saves the image as a bitmap file at path. The bytes go to a temporary file
// in the same folder that replaces the file at path only once all of it has
// been written; after a failure the earlier file is unchanged and no
// temporary file remains. The failure's message names the path and says
// what went wrong.
Status saveBmp(const QImage &image, const QString &path);

} // namespace snapvel
