#include "snapshot/pngbands.h"

#include "snapshot/bandplan.h"

#include <QFuture>
#include <QImage>
#include <QMutexLocker>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace snapvel {

namespace {

constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
constexpr int kBytesPerPixel = 3; // 8-bit RGB
// Compressed bytes in one IDAT chunk at most.
constexpr qsizetype kChunkBytes = 1 << 20;
// Uncompressed bytes a slice is given at least, so that the slices' own
// overhead (a flush marker each, matches that cannot reach across) stays
// small.
constexpr qsizetype kSliceBytes = 4 << 20;

enum Filter : uchar
{
    None = 0,
    Sub = 1,
    Up = 2,
    Average = 3,
    Paeth = 4
};

void appendChunk(QByteArray &out, const char *type, const char *data, qsizetype length)
{
    uchar header[8];
    qToBigEndian(quint32(length), header);
    std::memcpy(header + 4, type, 4);
    out.append(reinterpret_cast<const char *>(header), 8);
    out.append(data, length);
    uLong crc = crc32_z(0, reinterpret_cast<const Bytef *>(type), 4);
    crc = crc32_z(crc, reinterpret_cast<const Bytef *>(data), size_t(length));
    uchar trailer[4];
    qToBigEndian(quint32(crc), trailer);
    out.append(reinterpret_cast<const char *>(trailer), 4);
}

// What a band's file says of itself, and where its compressed rows are.
struct BandFile
{
    int width = 0;
    int height = 0;
    int depth = 0;
    int colourType = 0;
    int interlace = 0;
    QList<QByteArrayView> data; // the IDAT chunks' contents, in order
};

bool readBandFile(const QByteArray &png, BandFile &file)
{
    const QByteArrayView bytes(png);
    if (!bytes.startsWith(QByteArrayView(kSignature, 8)))
        return false;
    qsizetype at = 8;
    bool sawHeader = false;
    while (at + 12 <= bytes.size()) {
        const quint32 length = qFromBigEndian<quint32>(bytes.data() + at);
        const QByteArrayView type = bytes.sliced(at + 4, 4);
        if (length > quint32(bytes.size() - at - 12))
            return false;
        const QByteArrayView body = bytes.sliced(at + 8, length);
        if (!sawHeader) {
            if (type != "IHDR" || length != 13)
                return false;
            sawHeader = true;
            file.width = int(qFromBigEndian<quint32>(body.data()));
            file.height = int(qFromBigEndian<quint32>(body.data() + 4));
            file.depth = uchar(body.at(8));
            file.colourType = uchar(body.at(9));
            file.interlace = uchar(body.at(12));
        } else if (type == "IDAT") {
            file.data << body;
        } else if (type == "IEND") {
            return !file.data.isEmpty();
        }
        at += 12 + qsizetype(length);
    }
    return false;
}

// Inflates exactly out.size() bytes of the band's rows.
bool inflateRows(const QList<QByteArrayView> &data, QByteArray &out)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = 0;
    qsizetype produced = 0;
    int status = Z_OK;
    for (const QByteArrayView part : data) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(part.data()));
        stream.avail_in = uInt(part.size());
        while (stream.avail_in > 0 && produced < out.size() && status == Z_OK) {
            const qsizetype room =
                std::min<qsizetype>(out.size() - produced, std::numeric_limits<uInt>::max());
            stream.next_out = reinterpret_cast<Bytef *>(out.data() + produced);
            stream.avail_out = uInt(room);
            status = inflate(&stream, Z_NO_FLUSH);
            produced += room - stream.avail_out;
        }
        if (produced == out.size() || status != Z_OK)
            break;
    }
    inflateEnd(&stream);
    return produced == out.size() && (status == Z_OK || status == Z_STREAM_END);
}

// The band's rows, each a filter byte and its pixels, with the first row
// made independent of the row above it: in its own file the row above is
// taken as zeros, in the joined file it is the last row of the band before.
bool makeFirstRowIndependent(QByteArray &rows, qsizetype stride)
{
    uchar *row = reinterpret_cast<uchar *>(rows.data());
    switch (row[0]) {
    case None:
    case Sub:
        return true;
    case Up: // each byte less zero: the pixels as they are
        row[0] = None;
        return true;
    case Paeth: // with zeros above, Paeth predicts from the left, as Sub does
        row[0] = Sub;
        return true;
    case Average: {
        uchar *pixels = row + 1;
        for (qsizetype i = kBytesPerPixel; i < stride - 1; ++i)
            pixels[i] = uchar(pixels[i] + pixels[i - kBytesPerPixel] / 2);
        row[0] = None;
        return true;
    }
    default:
        return false;
    }
}

// The rows of a band in any other form, decoded and converted, unfiltered.
bool convertedRows(const QByteArray &png, int width, int rows, QByteArray &out)
{
    QImage image = QImage::fromData(png, "PNG");
    if (image.isNull() || image.width() != width || image.height() < rows)
        return false;
    image.convertTo(QImage::Format_RGB888);
    const qsizetype pixelBytes = qsizetype(width) * kBytesPerPixel;
    for (int y = 0; y < rows; ++y) {
        char *row = out.data() + y * (pixelBytes + 1);
        row[0] = None;
        std::memcpy(row + 1, image.constScanLine(y), size_t(pixelBytes));
    }
    return true;
}

// One slice of the compressed stream: raw deflate, flushed to a byte
// boundary and not final, so that slices follow one another.
struct Slice
{
    bool ok = false; // false: zlib had no memory for it
    QByteArray chunks;
    quint32 adler = 1;
    qsizetype length = 0;
};

Slice compressSlice(const char *data, qsizetype length)
{
    Slice slice;
    slice.length = length;
    slice.adler = quint32(adler32_z(1, reinterpret_cast<const Bytef *>(data), size_t(length)));
    z_stream stream{};
    // Fastest level: the pictures are mostly runs and repeated rows.
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return slice;
    QByteArray buffer(kChunkBytes, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    qsizetype left = length;
    int status = Z_OK;
    do {
        const uInt in = uInt(std::min<qsizetype>(left, std::numeric_limits<uInt>::max()));
        stream.avail_in = in;
        left -= in;
        const int flush = left > 0 ? Z_NO_FLUSH : Z_SYNC_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer.data());
            stream.avail_out = uInt(buffer.size());
            status = deflate(&stream, flush);
            // Called again after output that just filled the buffer, with
            // nothing left to do: not an error.
            if (status == Z_BUF_ERROR && stream.avail_in == 0)
                status = Z_OK;
            const qsizetype made = buffer.size() - stream.avail_out;
            if (made > 0)
                appendChunk(slice.chunks, "IDAT", buffer.constData(), made);
        } while (stream.avail_out == 0 && status == Z_OK);
    } while (left > 0 && status == Z_OK);
    deflateEnd(&stream);
    slice.ok = status == Z_OK && left == 0;
    return slice;
}

// Compresses rows, cut into slices at any byte, several at once; false when
// zlib had no memory.
bool compressRows(const QByteArray &rows, QByteArray &chunks, quint32 &adler)
{
    // Threads of their own: the band that waits for them runs on the
    // shared pool, which they must not wait behind. Its default size is one
    // thread a core.
    static QThreadPool pool;
    const qsizetype count = std::clamp<qsizetype>(rows.size() / kSliceBytes, 1,
                                                  std::max(1, QThread::idealThreadCount()));
    const qsizetype each = rows.size() / count;
    QList<QFuture<Slice>> others;
    for (qsizetype i = 1; i < count; ++i) {
        const qsizetype from = i * each;
        const qsizetype length = i + 1 == count ? rows.size() - from : each;
        others << QtConcurrent::run(&pool, [&rows, from, length] {
            return compressSlice(rows.constData() + from, length);
        });
    }
    const Slice first = compressSlice(rows.constData(), count == 1 ? rows.size() : each);
    bool ok = first.ok;
    chunks = first.chunks;
    adler = first.adler;
    for (QFuture<Slice> &other : others) {
        const Slice slice = other.result();
        ok = ok && slice.ok;
        chunks += slice.chunks;
        adler = quint32(adler32_combine(adler, slice.adler, z_off_t(slice.length)));
    }
    return ok;
}

} // namespace

PngBandJoiner::PngBandJoiner(QSize size, int bands)
    : m_size(size), m_pieces(bands), m_added(bands, false), m_missing(bands)
{
}

QString PngBandJoiner::addBand(int index, int top, int rows, const QByteArray &png, bool *last)
{
    if (last)
        *last = false;
    if (index < 0 || index >= m_pieces.size() || rows <= 0 || top < 0 ||
        top + rows > m_size.height())
        return QStringLiteral("A band of the picture does not fit it.");
    const QString unreadable = unreadableBand();
    BandFile file;
    if (!readBandFile(png, file) || file.height < 1)
        return unreadable;
    if (file.width != m_size.width() || file.height < rows - 1 || file.height > rows + 1)
        return bandSizeMismatch({file.width, file.height}, {m_size.width(), rows});

    const qsizetype stride = 1 + qsizetype(m_size.width()) * kBytesPerPixel;
    const int present = std::min(rows, file.height);
    QByteArray bandRows(stride * rows, Qt::Uninitialized);
    if (file.depth == 8 && file.colourType == 2 && file.interlace == 0) {
        bandRows.truncate(stride * present);
        if (!inflateRows(file.data, bandRows) || !makeFirstRowIndependent(bandRows, stride))
            return unreadable;
        for (qsizetype at = stride; at < bandRows.size(); at += stride)
            if (uchar(bandRows.at(at)) > Paeth)
                return unreadable;
        bandRows.resize(stride * rows);
    } else if (!convertedRows(png, m_size.width(), present, bandRows)) {
        return unreadable;
    }
    // A row short: the last one again, as it is (its filter refers to the
    // one above it, which is now itself).
    if (present < rows) {
        char *last = bandRows.data() + stride * (rows - 1);
        last[0] = Up;
        std::memset(last + 1, 0, size_t(stride - 1));
    }

    Piece piece;
    piece.length = bandRows.size();
    if (!compressRows(bandRows, piece.chunks, piece.adler))
        return QStringLiteral("There was not enough memory to compress the picture.");

    QMutexLocker lock(&m_mutex);
    if (m_added[index])
        return QStringLiteral("A band of the picture came twice.");
    m_added[index] = true;
    m_pieces[index] = std::move(piece);
    if (--m_missing == 0 && last)
        *last = true;
    return {};
}

QByteArray PngBandJoiner::take()
{
    QMutexLocker lock(&m_mutex);
    const qint64 expected = qint64(m_size.height()) * (1 + qint64(m_size.width()) * kBytesPerPixel);
    qint64 length = 0;
    qsizetype total = 8 + 25 + 14 + 18 + 12;
    for (const Piece &piece : std::as_const(m_pieces)) {
        length += piece.length;
        total += piece.chunks.size();
    }
    if (m_missing != 0 || length != expected || m_taken)
        return {};
    m_taken = true;

    QByteArray file;
    file.reserve(total);
    file.append(kSignature, 8);
    uchar header[13];
    qToBigEndian(quint32(m_size.width()), header);
    qToBigEndian(quint32(m_size.height()), header + 4);
    header[8] = 8;  // bits per sample
    header[9] = 2;  // RGB
    header[10] = 0; // deflate
    header[11] = 0; // adaptive filtering
    header[12] = 0; // not interlaced
    appendChunk(file, "IHDR", reinterpret_cast<const char *>(header), 13);
    // The stream's header: deflate with a 32 KiB window, fastest level.
    appendChunk(file, "IDAT", "\x78\x01", 2);
    quint32 adler = 1;
    for (Piece &piece : m_pieces) {
        file += piece.chunks;
        adler = quint32(adler32_combine(adler, piece.adler, z_off_t(piece.length)));
        piece = {};
    }
    // An empty final block, then the checksum of everything.
    uchar end[6] = {0x03, 0x00};
    qToBigEndian(adler, end + 2);
    appendChunk(file, "IDAT", reinterpret_cast<const char *>(end), 6);
    appendChunk(file, "IEND", "", 0);
    return file;
}

} // namespace snapvel
