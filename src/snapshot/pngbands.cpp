#include "snapshot/pngbands.h"

#include "snapshot/bandplan.h"
#include "snapshot/deflatewalk.h"

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

    // 8-bit RGB, not interlaced: the form the joined file takes.
    bool isPlainRgb() const { return depth == 8 && colourType == 2 && interlace == 0; }
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

// The band's first `length` bytes of rows made ready to follow the band
// before: the first row made independent, and every whole row among them
// checked for a filter that PNG knows.
bool mendRows(QByteArray &rows, qsizetype stride, qsizetype length)
{
    if (!makeFirstRowIndependent(rows, stride))
        return false;
    for (qsizetype at = stride; at + stride <= length; at += stride)
        if (uchar(rows.at(at)) > Paeth)
            return false;
    return true;
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

// The checksum of the bytes after a prefix, from the checksum of the whole
// and of the prefix: adler32_combine worked backwards.
quint32 adlerOfRest(quint32 whole, quint32 prefix, qint64 restLength)
{
    constexpr qint64 modulus = 65521;
    const auto reduce = [](qint64 value) { return ((value % modulus) + modulus) % modulus; };
    const qint64 prefixSum = prefix & 0xffff;
    const qint64 sum = reduce(qint64(whole & 0xffff) - prefixSum + 1);
    const qint64 weighted = reduce(qint64(whole >> 16) - qint64(prefix >> 16) -
                                   reduce(restLength) * reduce(prefixSum - 1));
    return quint32(weighted << 16 | sum);
}

// Deflate bits appended to a stream at any bit position.
class BitStream
{
public:
    explicit BitStream(qsizetype expectedBytes) { m_bytes.reserve(expectedBytes); }

    // Bits [from, to) of `data`.
    void appendBits(const uchar *data, qsizetype size, qint64 from, qint64 to)
    {
        reserve(to - from);
        if (from % 8 == m_bits % 8) {
            // In step: the odd bits first, then whole bytes as they are.
            while (from < to && from % 8 != 0)
                put(bit(data, from++), 1);
            const qint64 bytes = (to - from) / 8;
            std::memcpy(m_bytes.data() + m_bits / 8, data + from / 8, size_t(bytes));
            m_bits += bytes * 8;
            from += bytes * 8;
        }
        while (from + 8 <= to) {
            const qsizetype at = qsizetype(from / 8);
            const quint32 pair = data[at] | (at + 1 < size ? quint32(data[at + 1]) << 8 : 0);
            put((pair >> (from % 8)) & 0xff, 8);
            from += 8;
        }
        while (from < to)
            put(bit(data, from++), 1);
    }

    // The low `count` bits of `value`, at most 24.
    void put(quint32 value, int count)
    {
        reserve(count);
        char *at = m_bytes.data() + m_bits / 8;
        quint32 bits = (value & ((quint32(1) << count) - 1)) << (m_bits % 8);
        for (int left = count + int(m_bits % 8); left > 0; left -= 8, bits >>= 8)
            *at++ |= char(bits & 0xff);
        m_bits += count;
    }

    void alignToByte() { m_bits = (m_bits + 7) & ~qint64(7); }

    // Whole bytes, at a byte boundary.
    void appendBytes(const uchar *data, qint64 count)
    {
        alignToByte();
        reserve(count * 8);
        std::memcpy(m_bytes.data() + m_bits / 8, data, size_t(count));
        m_bits += count * 8;
    }

    QByteArray take()
    {
        m_bytes.truncate((m_bits + 7) / 8);
        return std::move(m_bytes);
    }

private:
    static quint32 bit(const uchar *data, qint64 at) { return (data[at / 8] >> (at % 8)) & 1; }

    // Zeros up to where `bits` more bits end.
    void reserve(qint64 bits)
    {
        const qsizetype needed = qsizetype((m_bits + bits + 7) / 8);
        if (needed > m_bytes.size())
            m_bytes.append(needed - m_bytes.size(), '\0');
    }

    QByteArray m_bytes;
    qint64 m_bits = 0;
};

// The walked deflate blocks from bit `from` on, moved to start at a byte
// boundary: each stored block's data moves to the byte boundary after its
// header, and the final block's flag is cleared (the stream goes on). An
// empty stored block after them brings the stream back to a byte boundary
// for whatever follows.
QByteArray movedBlocks(const uchar *data, qsizetype size, qint64 from, const DeflateWalk &walk)
{
    // Each stored block may take a byte more or less to reach its boundary.
    BitStream out(qsizetype((walk.endBit - from) / 8 + walk.stored.size() + 8));
    qint64 at = from;
    bool flagCleared = false;
    const auto clearFlagBefore = [&](qint64 until) {
        if (flagCleared || walk.finalBlockBit >= until)
            return;
        out.appendBits(data, size, at, walk.finalBlockBit);
        out.put(0, 1);
        at = walk.finalBlockBit + 1;
        flagCleared = true;
    };
    for (const StoredBlock &block : walk.stored) {
        clearFlagBefore(block.headerEndBit);
        out.appendBits(data, size, at, block.headerEndBit);
        out.appendBytes(data + block.lengthByte, 4 + block.length);
        at = (block.lengthByte + 4 + block.length) * 8;
    }
    clearFlagBefore(walk.endBit);
    out.appendBits(data, size, at, walk.endBit);
    out.put(0, 3); // not final, stored
    const uchar emptyStored[4] = {0x00, 0x00, 0xff, 0xff};
    out.appendBytes(emptyStored, 4);
    return out.take();
}

enum class BandRows
{
    Untouched,
    Taken,    // the band's compressed rows were taken over: `piece` holds them
    Inflated, // `rows` holds all of the band's rows, inflated
    Damaged,
};

// A band's compressed rows taken over as the browser compressed them, less
// the first block or blocks: those are inflated into `rows` (past the first
// row, and a match's reach of 32 KiB past it, so that nothing later reads
// the first row), the first row is made independent, and they are
// compressed again. The rest of the stream is walked, not inflated, to find
// its final block. A band too short for that is inflated whole into `rows`
// instead, and so is one whose rest cannot be walked.
BandRows takeOverRows(const QList<QByteArrayView> &data, qsizetype stride, QByteArray &rows,
                      Slice &piece)
{
    QByteArray joined;
    QByteArrayView stream = data.first();
    if (data.size() > 1) {
        for (const QByteArrayView part : data)
            joined += part;
        stream = joined;
    }
    const auto *bytes = reinterpret_cast<const uchar *>(stream.data());
    z_stream inflater{};
    if (inflateInit(&inflater) != Z_OK)
        return BandRows::Damaged;
    inflater.next_in = const_cast<uchar *>(bytes);
    inflater.avail_in = uInt(stream.size());
    inflater.next_out = reinterpret_cast<Bytef *>(rows.data());
    inflater.avail_out = uInt(rows.size());
    const qint64 enough = stride + 32768;
    int flush = Z_BLOCK;
    int status = Z_OK;
    while (status == Z_OK) {
        status = inflate(&inflater, flush);
        const bool atBoundary = (inflater.data_type & 128) && !(inflater.data_type & 64);
        if (status != Z_OK || flush != Z_BLOCK || !atBoundary ||
            qint64(inflater.total_out) < enough)
            continue;
        const qint64 head = qint64(inflater.total_out);
        const qint64 from = qint64(inflater.total_in) * 8 - (inflater.data_type & 7);
        const DeflateWalk walk = walkDeflate(bytes, stream.size(), from, head, rows.size() - head);
        const qsizetype trailer = qsizetype((walk.endBit + 7) / 8);
        if (!walk.ok || walk.produced != rows.size() - head || trailer + 4 > stream.size()) {
            flush = Z_NO_FLUSH; // inflate the rest after all
            continue;
        }
        inflateEnd(&inflater);
        const quint32 bandAdler = qFromBigEndian<quint32>(bytes + trailer);
        const quint32 headAdler =
            quint32(adler32_z(1, reinterpret_cast<const Bytef *>(rows.constData()), size_t(head)));
        if (!mendRows(rows, stride, head))
            return BandRows::Damaged;
        piece = compressSlice(rows.constData(), head);
        if (!piece.ok)
            return BandRows::Damaged;
        const qint64 rest = rows.size() - head;
        const QByteArray moved = movedBlocks(bytes, stream.size(), from, walk);
        appendChunk(piece.chunks, "IDAT", moved.constData(), moved.size());
        piece.adler = quint32(
            adler32_combine(piece.adler, adlerOfRest(bandAdler, headAdler, rest), z_off_t(rest)));
        piece.length = rows.size();
        return BandRows::Taken;
    }
    const bool whole = status == Z_STREAM_END && qint64(inflater.total_out) == rows.size();
    inflateEnd(&inflater);
    return whole ? BandRows::Inflated : BandRows::Damaged;
}

// The band's rows made ready and compressed again: inflated (unless they
// already are) or decoded and converted, a row short made up.
QString compressedAgain(const QByteArray &png, const BandFile &file, int rows, bool inflated,
                        QByteArray &bandRows, Slice &piece)
{
    const qsizetype stride = bandRows.size() / rows;
    const int present = std::min(rows, file.height);
    if (file.isPlainRgb()) {
        bandRows.truncate(stride * present);
        if ((!inflated && !inflateRows(file.data, bandRows)) ||
            !mendRows(bandRows, stride, bandRows.size()))
            return unreadableBand();
        bandRows.resize(stride * rows);
    } else if (!convertedRows(png, file.width, present, bandRows)) {
        return unreadableBand();
    }
    // A row short: the last one again, as it is (its filter refers to the
    // one above it, which is now itself).
    if (present < rows) {
        char *last = bandRows.data() + stride * (rows - 1);
        last[0] = Up;
        std::memset(last + 1, 0, size_t(stride - 1));
    }
    QByteArray chunks;
    quint32 adler = 1;
    if (!compressRows(bandRows, chunks, adler))
        return QStringLiteral("There was not enough memory to compress the picture.");
    piece = {true, std::move(chunks), adler, bandRows.size()};
    return {};
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
    QByteArray bandRows(stride * rows, Qt::Uninitialized);
    BandRows state = BandRows::Untouched;
    Slice slice;
    if (file.isPlainRgb() && file.height == rows) {
        state = takeOverRows(file.data, stride, bandRows, slice);
        if (state == BandRows::Damaged)
            return unreadable;
    }
    if (state != BandRows::Taken) {
        const QString why =
            compressedAgain(png, file, rows, state == BandRows::Inflated, bandRows, slice);
        if (!why.isEmpty())
            return why;
    }

    QMutexLocker lock(&m_mutex);
    if (m_added[index])
        return QStringLiteral("A band of the picture came twice.");
    m_added[index] = true;
    m_pieces[index] = {std::move(slice.chunks), slice.adler, slice.length};
    if (state == BandRows::Taken)
        ++m_takenOver;
    if (--m_missing == 0 && last)
        *last = true;
    return {};
}

int PngBandJoiner::bandsTakenOver() const
{
    QMutexLocker lock(&m_mutex);
    return m_takenOver;
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
