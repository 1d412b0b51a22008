#include "output/bmpwriter.h"
#include "systemlanguage.h"
#include "testpictures.h"

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <sys/mman.h>

using namespace snapvel;
using snapvel::test::entriesOf;
using snapvel::test::makeCapture;

namespace {

quint32 u32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}
qint32 i32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<qint32>(bytes.constData() + offset);
}
quint16 u16(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

QByteArray bmpBytes(const QImage &image)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const Status written = writeBmp(image, buffer);
    if (!written)
        qWarning() << written.error();
    return buffer.data();
}

// Runs an ImageMagick tool and returns what it printed.
QString magick(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    process.start(tool, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning() << tool << arguments << process.readAllStandardError();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The colour ImageMagick reads at (x, y), as "#RRGGBB".
QString magickPixel(const QString &file, int x, int y)
{
    const QString text =
        magick(QStringLiteral("convert"),
               {file, QStringLiteral("-crop"), QStringLiteral("1x1+%1+%2").arg(x).arg(y),
                QStringLiteral("-depth"), QStringLiteral("8"), QStringLiteral("txt:-")});
    const qsizetype hash = text.indexOf(QLatin1String("  #"));
    return hash < 0 ? text : text.mid(hash + 2, 7).toUpper();
}

// A device that accepts a number of bytes and then fails as a full disk
// does, counting the attempts made after its failure. Its error text is not
// the system's, as on a system that speaks another language.
class FailingDevice final : public QIODevice
{
public:
    explicit FailingDevice(qint64 capacity) : m_capacity(capacity) { open(WriteOnly); }
    qint64 attemptsAfterFailure = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 size) override
    {
        if (m_failed || m_written + size > m_capacity) {
            attemptsAfterFailure += m_failed ? 1 : 0;
            m_failed = true;
            errno = ENOSPC;
            setErrorString(QStringLiteral("Kein Platz mehr"));
            return -1;
        }
        m_written += size;
        return size;
    }

private:
    qint64 m_capacity;
    qint64 m_written = 0;
    bool m_failed = false;
};

} // namespace

class TestBmpWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString problem = snapvel::test::languageProblem();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // A width that is not a multiple of 4 needs padding in every row.
    void headerAndRowsOfOddWidth()
    {
        const QImage image = makeCapture(5, 3);
        const QByteArray bytes = bmpBytes(image);
        const int stride = 16; // 5 pixels * 3 bytes = 15, padded to 16
        QCOMPARE(bytes.size(), 54 + stride * 3);

        QCOMPARE(bytes.left(2), QByteArray("BM"));
        QCOMPARE(u32(bytes, 2), quint32(bytes.size())); // file size
        QCOMPARE(u32(bytes, 6), 0u);                    // reserved
        QCOMPARE(u32(bytes, 10), 54u);                  // pixel data offset
        QCOMPARE(u32(bytes, 14), 40u);                  // info header size
        QCOMPARE(i32(bytes, 18), 5);                    // width
        QCOMPARE(i32(bytes, 22), 3);                    // height, positive: bottom-up
        QCOMPARE(u16(bytes, 26), quint16(1));           // planes
        QCOMPARE(u16(bytes, 28), quint16(24));          // bits per pixel
        QCOMPARE(u32(bytes, 30), 0u);                   // BI_RGB
        QCOMPARE(u32(bytes, 34), quint32(stride * 3));  // image size
        QCOMPARE(u32(bytes, 46), 0u);                   // colours used: no palette

        for (int row = 0; row < 3; ++row) {
            const int y = 2 - row; // the first stored row is the bottom one
            const char *stored = bytes.constData() + 54 + row * stride;
            for (int x = 0; x < 5; ++x) {
                const QRgb pixel = image.pixel(x, y);
                QCOMPARE(uchar(stored[x * 3]), uchar(qBlue(pixel)));
                QCOMPARE(uchar(stored[x * 3 + 1]), uchar(qGreen(pixel)));
                QCOMPARE(uchar(stored[x * 3 + 2]), uchar(qRed(pixel)));
            }
            QCOMPARE(stored[15], '\0'); // padding
        }
    }

    // Another program reads the saved file as the same picture.
    void imageMagickReadsTheSavedFile()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("identify")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("convert")).isEmpty())
            QSKIP("ImageMagick (identify, convert) is not installed");
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("shot.bmp"));
        const QImage image = makeCapture(301, 203);
        QVERIFY2(saveBmp(image, path).ok(), qPrintable(saveBmp(image, path).error()));

        QCOMPARE(magick(QStringLiteral("identify"),
                        {QStringLiteral("-format"), QStringLiteral("%m %w %h %z %[type]"), path}),
                 QStringLiteral("BMP3 301 203 8 TrueColor"));
        QVERIFY(magick(QStringLiteral("identify"), {QStringLiteral("-verbose"), path})
                    .contains(QLatin1String("Compression: None")));

        const QList<QPoint> points = {{0, 0},     {300, 0}, {0, 202}, {300, 202},
                                      {150, 101}, {7, 199}, {299, 3}};
        for (const QPoint &p : points) {
            const QString expected = QColor(image.pixel(p)).name().toUpper();
            QCOMPARE(magickPixel(path, p.x(), p.y()), expected);
        }
    }

    // Pictures taller than one piece of rows, and in formats that are
    // converted a few rows at a time, give the same file as RGB32.
    void everyFormatAndManyPiecesGiveTheSameFile_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::newRow("RGB32") << QImage::Format_RGB32;
        QTest::newRow("ARGB32") << QImage::Format_ARGB32;
        QTest::newRow("ARGB32_Premultiplied") << QImage::Format_ARGB32_Premultiplied;
        QTest::newRow("RGB888") << QImage::Format_RGB888;
        QTest::newRow("RGBX8888") << QImage::Format_RGBX8888;
    }
    void everyFormatAndManyPiecesGiveTheSameFile()
    {
        QFETCH(QImage::Format, format);
        // 3 KB per row: several 1 MB pieces, the last one partly filled.
        const QImage reference = makeCapture(1001, 1100);
        const QByteArray bytes = bmpBytes(makeCapture(1001, 1100, format));
        QCOMPARE(bytes.size(), qsizetype(bmp::fileSize(reference.size())));
        const QImage readBack = QImage::fromData(bytes, "BMP");
        QCOMPARE(readBack.size(), reference.size());
        QCOMPARE(readBack.convertToFormat(QImage::Format_RGB32), reference);
    }

    void failuresAreReportedInPlainWordsAndStopTheWriting()
    {
        // A real "disk full" from the system.
        QFile full(QStringLiteral("/dev/full"));
        if (full.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            const Status status = writeBmp(makeCapture(64, 64), full);
            QVERIFY(!status.ok());
            QCOMPARE(status.error(), QStringLiteral("the disk is full"));
        }

        FailingDevice device(54 + 3000);
        const Status status = writeBmp(makeCapture(1000, 2000), device);
        QVERIFY(!status.ok());
        QCOMPARE(status.error(), QStringLiteral("the disk is full"));
        QCOMPARE(device.attemptsAfterFailure, 0);

        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(!writeBmp(QImage(), buffer).ok());
        QVERIFY(!writeBmp(QImage(), buffer).error().isEmpty());
        QCOMPARE(buffer.size(), 0);
    }

    // The file size field has 32 bits: a larger picture is refused before
    // anything is written. The pixels live in untouched address space, so
    // the test needs no memory.
    void pictureBeyondFourGiBIsRefusedBeforeWriting()
    {
        const int width = 32768, height = 43700; // 4.29e9 bytes as 24-bit rows
        const size_t bytes = size_t(width) * 4 * size_t(height);
        void *pixels =
            mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pixels == MAP_FAILED)
            QSKIP("cannot reserve address space for a 5 GB picture");
        const QImage huge(static_cast<const uchar *>(pixels), width, height, width * 4,
                          QImage::Format_RGB32);
        QVERIFY(!huge.isNull());
        QVERIFY(bmp::fileSize(huge.size()) > bmp::MaxFileSize);

        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("huge.bmp"));
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier");
        earlier.close();

        const Status status = saveBmp(huge, path);
        munmap(pixels, bytes);
        QVERIFY(!status.ok());
        QVERIFY2(status.error().contains(path), qPrintable(status.error()));
        QVERIFY2(status.error().contains(QLatin1String("too large for a BMP file")),
                 qPrintable(status.error()));
        QVERIFY(status.error().contains(QString::number(bmp::fileSize(huge.size()))));
        QCOMPARE(entriesOf(folder.path()), QStringList{QStringLiteral("huge.bmp")});
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier"));

        // Just below the limit the size is still accepted.
        QVERIFY(bmp::fileSize(QSize(4, 357913937)) > bmp::MaxFileSize);
        QVERIFY(bmp::fileSize(QSize(4, 357913936)) <= bmp::MaxFileSize);
    }
};

QTEST_MAIN(TestBmpWriter)
#include "tst_bmpwriter.moc"
