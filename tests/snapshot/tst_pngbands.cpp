// Joining the browser's PNG bands into one file without decoding them: every
// way a band's first row can be filtered, bands in other forms, and bands
// that cannot be used.
#include "snapshot/pngbands.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QTest>
#include <QtEndian>

#include <zlib.h>

#include <cstdlib>

using namespace snapvel;

namespace {

QImage noisyPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    quint32 seed = 7;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245 + 12345;
            // Runs and noise, so that every filter has something to do.
            image.setPixel(x, y, x % 7 == 0 ? qRgb(y, 255 - y, x) : QRgb(seed >> 8) | 0xff000000);
        }
    return image;
}

void appendChunk(QByteArray &out, const char *type, const QByteArray &body)
{
    uchar number[4];
    qToBigEndian(quint32(body.size()), number);
    out.append(reinterpret_cast<const char *>(number), 4);
    const QByteArray typed = QByteArray(type, 4) + body;
    out += typed;
    qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef *>(typed.data()), typed.size())),
                 number);
    out.append(reinterpret_cast<const char *>(number), 4);
}

// Bands of rows that compress well between bands of noise that does not:
// zlib stores the noise as it is, in blocks aligned to whole bytes.
QImage runsAndNoise(int width, int height)
{
    QImage image = noisyPicture(width, height);
    for (int y = 0; y < height; ++y)
        if (y / 50 % 2 == 0)
            std::memset(image.scanLine(y), y, size_t(width) * 3);
    return image;
}

struct Compression
{
    int level = 6;
    int strategy = Z_DEFAULT_STRATEGY;
    bool flushHalfway = false; // an empty stored block in the middle
};

QByteArray zlibStream(const QByteArray &raw, Compression how)
{
    z_stream stream{};
    deflateInit2(&stream, how.level, Z_DEFLATED, 15, 8, how.strategy);
    QByteArray out(int(deflateBound(&stream, uLong(raw.size()))) + 64, Qt::Uninitialized);
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const qsizetype half = how.flushHalfway ? raw.size() / 2 : 0;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.constData()));
    stream.avail_in = uInt(half);
    deflate(&stream, Z_SYNC_FLUSH);
    stream.avail_in = uInt(raw.size() - half);
    deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

// An 8-bit RGB file of the rows, every row filtered the same way; as in any
// file, the row above the first is taken as zeros.
QByteArray bandPng(const QImage &rows, int filter, Compression how = {})
{
    const int stride = rows.width() * 3;
    const QByteArray zeros(stride, 0);
    QByteArray raw;
    for (int y = 0; y < rows.height(); ++y) {
        const auto *cur = rows.constScanLine(y);
        const auto *up = reinterpret_cast<const uchar *>(
            y ? reinterpret_cast<const char *>(rows.constScanLine(y - 1)) : zeros.constData());
        raw.append(char(filter));
        for (int i = 0; i < stride; ++i) {
            const int a = i >= 3 ? cur[i - 3] : 0, b = up[i], c = i >= 3 ? up[i - 3] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b),
                      pc = std::abs(p - c);
            const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            const int predicted[] = {0, a, b, (a + b) / 2, paeth};
            raw.append(char(cur[i] - predicted[filter]));
        }
    }
    QByteArray header(13, 0);
    qToBigEndian(quint32(rows.width()), header.data());
    qToBigEndian(quint32(rows.height()), header.data() + 4);
    header[8] = 8;
    header[9] = 2;
    QByteArray file("\x89PNG\r\n\x1a\n", 8);
    appendChunk(file, "IHDR", header);
    // In two chunks, as a stream may come.
    const QByteArray stream = zlibStream(raw, how);
    appendChunk(file, "IDAT", stream.first(stream.size() / 3));
    appendChunk(file, "IDAT", stream.sliced(stream.size() / 3));
    appendChunk(file, "IEND", {});
    return file;
}

QByteArray qtPng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "png").write(image);
    return bytes;
}

// The picture in a joined file, once its compressed stream has been checked
// whole, checksum included (a PNG reader may stop at the last row).
QImage decoded(const QByteArray &png)
{
    QByteArray stream;
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const qsizetype length = qFromBigEndian<quint32>(png.constData() + at);
        if (png.mid(at + 4, 4) == "IDAT")
            stream += png.mid(at + 8, length);
        at += 12 + length;
    }
    const QImage image = QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB888);
    QByteArray rows(image.height() * (1 + image.width() * 3), Qt::Uninitialized);
    uLongf size = uLongf(rows.size());
    if (uncompress(reinterpret_cast<Bytef *>(rows.data()), &size,
                   reinterpret_cast<const Bytef *>(stream.constData()),
                   uLong(stream.size())) != Z_OK ||
        size != uLongf(rows.size()))
        return {};
    return image;
}

} // namespace

class TestPngBands : public QObject
{
    Q_OBJECT

private slots:
    void joinsBandsHoweverTheirRowsAreFiltered();
    void takesOverLongBandsHoweverTheyWereCompressed();
    void bandsInOtherFormsAndARowShort();
    void refusesBandsItCannotUse();
};

void TestPngBands::joinsBandsHoweverTheirRowsAreFiltered()
{
    // Five bands, each filtered another way, added last first.
    const QImage picture = noisyPicture(97, 60);
    PngBandJoiner joiner(picture.size(), 5);
    for (int band = 4; band >= 0; --band) {
        bool last = true;
        QCOMPARE(joiner.addBand(band, band * 12, 12,
                                bandPng(picture.copy(0, band * 12, 97, 12), band), &last),
                 QString());
        QCOMPARE(last, band == 0);
        QCOMPARE(joiner.take().isEmpty(), band != 0);
    }
    // take() above had the file; it is handed over once.
    QVERIFY(joiner.take().isEmpty());

    // Slices of several megabytes are compressed apart; the stream and its
    // checksum still run on across them. A band a row short is compressed
    // again whole.
    const QImage tall = noisyPicture(1000, 3000);
    PngBandJoiner tallJoiner(tall.size(), 2);
    QCOMPARE(tallJoiner.addBand(0, 0, 2800, bandPng(tall.copy(0, 0, 1000, 2799), 2)), QString());
    QCOMPARE(tallJoiner.addBand(1, 2800, 200, bandPng(tall.copy(0, 2800, 1000, 200), 4)),
             QString());
    QImage expected = tall;
    std::memcpy(expected.scanLine(2799), tall.constScanLine(2798), 3000);
    QCOMPARE(decoded(tallJoiner.take()), expected);
    QCOMPARE(tallJoiner.bandsTakenOver(), 1);
}

void TestPngBands::takesOverLongBandsHoweverTheyWereCompressed()
{
    // Past their first blocks, long bands are taken over as compressed,
    // whatever blocks they hold: stored ones start at any bit, and the
    // first row's filter is mended in the blocks compressed again.
    const QImage picture = runsAndNoise(400, 1500);
    const Compression ways[] = {
        {1}, {6, Z_FIXED}, {6, Z_HUFFMAN_ONLY}, {6, Z_RLE}, {9, Z_DEFAULT_STRATEGY, true}};
    for (const Compression &how : ways) {
        PngBandJoiner joiner(picture.size(), 3);
        for (int band = 0; band < 3; ++band)
            QCOMPARE(joiner.addBand(
                         band, band * 500, 500,
                         bandPng(picture.copy(0, band * 500, 400, 500), band == 1 ? 4 : 2, how)),
                     QString());
        QCOMPARE(decoded(joiner.take()), picture);
        QCOMPARE(joiner.bandsTakenOver(), 3);
    }
}

void TestPngBands::bandsInOtherFormsAndARowShort()
{
    const QImage picture = noisyPicture(50, 30);
    PngBandJoiner joiner(picture.size(), 3);
    // With an alpha channel: decoded and converted.
    QCOMPARE(
        joiner.addBand(0, 0, 10,
                       qtPng(picture.copy(0, 0, 50, 10).convertToFormat(QImage::Format_ARGB32))),
        QString());
    QCOMPARE(joiner.addBand(1, 10, 10, qtPng(picture.copy(0, 10, 50, 10))), QString());
    // A row short: its last row is repeated.
    QCOMPARE(joiner.addBand(2, 20, 10, bandPng(picture.copy(0, 20, 50, 9), 3)), QString());
    QImage expected = picture;
    std::memcpy(expected.scanLine(29), picture.constScanLine(28), 150);
    QCOMPARE(decoded(joiner.take()), expected);
}

void TestPngBands::refusesBandsItCannotUse()
{
    const QImage picture = noisyPicture(40, 20);
    const QByteArray good = bandPng(picture.copy(0, 0, 40, 10), 2);
    QByteArray damaged = good;
    damaged[damaged.size() / 2] = char(~damaged.at(damaged.size() / 2));
    damaged[damaged.size() / 2 + 1] = char(~damaged.at(damaged.size() / 2 + 1));
    const struct
    {
        const char *what;
        int index;
        int top;
        QByteArray png;
        const char *says;
    } refused[] = {
        {"damaged", 0, 0, damaged, "could not be read"},
        {"not a picture", 0, 0, QByteArray("<html>"), "could not be read"},
        {"too narrow", 0, 0, bandPng(picture.copy(0, 0, 39, 10), 0),
         "39 x 10 pixels where 40 x 10"},
        {"two rows short", 0, 0, bandPng(picture.copy(0, 0, 40, 8), 0), "40 x 8 pixels"},
        {"outside the picture", 2, 15, good, "does not fit"},
    };
    for (const auto &band : refused) {
        PngBandJoiner joiner(picture.size(), 2);
        const QString why = joiner.addBand(band.index, band.top, 10, band.png);
        QVERIFY2(why.contains(QLatin1String(band.says)), qPrintable(band.what + (": " + why)));
    }
    PngBandJoiner twice(picture.size(), 2);
    QCOMPARE(twice.addBand(0, 0, 10, good), QString());
    QVERIFY(twice.addBand(0, 0, 10, good).contains(QLatin1String("twice")));
    QVERIFY(twice.take().isEmpty());
}

QTEST_GUILESS_MAIN(TestPngBands)
#include "tst_pngbands.moc"
