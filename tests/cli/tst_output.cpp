// Where the command's pictures go: names from addresses, the memory gate
// that decides how many pages paint at once, and writing files so that a
// failure leaves an earlier file alone.
#include "cli/capturegate.h"
#include "cli/outputnaming.h"
#include "cli/outputplan.h"
#include "cli/picturewriter.h"
#include "support/filesizelimit.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using namespace snapvel;
using namespace snapvel::cli;

class TestCaptureOutput : public QObject
{
    Q_OBJECT

private slots:
    void namesFromAddresses_data();
    void namesFromAddresses();
    void namesTakenTwiceAreNumbered();
    void localFilesAreLoadedAsFiles();
    void gateKeepsOrderSlotsAndMemory();
    void reservationsStayWithinTheBudget();
    void failedWritesLeaveTheEarlierFile_data();
    void failedWritesLeaveTheEarlierFile();
};

void TestCaptureOutput::namesFromAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("stem");

    QTest::newRow("host") << "https://Example.COM/"
                          << "example.com";
    QTest::newRow("host without scheme") << "example.com"
                                         << "example.com";
    QTest::newRow("path") << "http://example.com/docs/intro.html"
                          << "example.com_docs_intro";
    QTest::newRow("query") << "http://example.com/s?q=a b&x=1#top"
                           << "example.com_s_q_a_b_x_1";
    QTest::newRow("port") << "http://127.0.0.1:8080/a/"
                          << "127.0.0.1_8080_a";
    QTest::newRow("escaped path") << "http://example.com/a%2F..%2F..%2Fetc"
                                  << "example.com_a_.._.._etc";
    QTest::newRow("international host") << "http://bücher.example/"
                                        << "xn--bcher-kva.example";
    QTest::newRow("local file") << "file:///home/me/report.htm"
                                << "report";
    QTest::newRow("local path") << "/tmp/.hidden page.html"
                                << "hidden_page";
    QTest::newRow("script") << "javascript:alert(1)"
                            << "page";
    QTest::newRow("blank") << "about:blank"
                           << "page";
    QTest::newRow("control characters") << "http://example.com/\x1b[2Jx\ny"
                                        << "example.com_2Jx_y";
    QTest::newRow("long") << "http://example.com/" + QString(300, QLatin1Char('a'))
                          << "example.com_" + QString(88, QLatin1Char('a'));
}

void TestCaptureOutput::namesFromAddresses()
{
    QFETCH(QString, address);
    QFETCH(QString, stem);
    QCOMPARE(fileStemFor(address), stem);
}

void TestCaptureOutput::namesTakenTwiceAreNumbered()
{
    OutputNamer namer(QStringLiteral("png"));
    QCOMPARE(namer.nameFor("http://example.com/"), QStringLiteral("example.com.png"));
    QCOMPARE(namer.nameFor("https://example.com"), QStringLiteral("example.com-2.png"));
    QCOMPARE(namer.nameFor("http://EXAMPLE.com/?"), QStringLiteral("example.com-3.png"));
    // A name that looks numbered already is taken as it is, and the
    // numbering then skips it.
    QCOMPARE(namer.nameFor("http://example.com-4/"), QStringLiteral("example.com-4.png"));
    QCOMPARE(namer.nameFor("http://example.com/#again"), QStringLiteral("example.com-5.png"));
    QCOMPARE(namer.nameFor("http://a.example/X"), QStringLiteral("a.example_X.png"));
    QCOMPARE(namer.nameFor("http://a.example/x"), QStringLiteral("a.example_x-2.png"));
}

void TestCaptureOutput::localFilesAreLoadedAsFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("docs")));
    QFile page(dir.filePath(QStringLiteral("docs/example.com")));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.close();
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const QString relative = locationFor(QStringLiteral("docs/example.com"));
    const QString host = locationFor(QStringLiteral("example.com"));
    const QString folder = locationFor(QStringLiteral("docs"));
    const QString web = locationFor(QStringLiteral("http://docs/example.com"));
    QVERIFY(QDir::setCurrent(before));
    QCOMPARE(relative, QFileInfo(page).absoluteFilePath());
    QCOMPARE(host, QStringLiteral("example.com")); // no such file: an address
    QCOMPARE(folder, QStringLiteral("docs"));
    QCOMPARE(web, QStringLiteral("http://docs/example.com"));
    QCOMPARE(fileStemFor(relative), QStringLiteral("example.com"));
}

void TestCaptureOutput::gateKeepsOrderSlotsAndMemory()
{
    CaptureGate gate(2, 100);
    QList<int> granted;
    auto ask = [&](qint64 bytes) {
        return gate.request(bytes, [&granted](int ticket) { granted << ticket; });
    };
    const int a = ask(60);
    const int b = ask(50); // does not fit beside a
    const int c = ask(10); // would fit, but waits its turn behind b
    QCOMPARE(granted, QList<int>{a});
    QCOMPARE(gate.reserved(), 60);

    gate.release(a);
    QCOMPARE(granted, (QList<int>{a, b, c}));
    QCOMPARE(gate.running(), 2);
    QCOMPARE(gate.reserved(), 60);

    const int d = ask(1); // memory enough, but both slots are taken
    QCOMPARE(granted.size(), 3);
    const int e = ask(100);
    gate.withdraw(d); // given up before its turn: never granted
    gate.release(b);
    gate.release(c);
    QCOMPARE(granted, (QList<int>{a, b, c, e}));
    QCOMPARE(gate.reserved(), 100);
    gate.release(e);
    gate.release(e); // a second release changes nothing
    QCOMPARE(gate.reserved(), 0);
    QCOMPARE(gate.running(), 0);

    // A page done painting gives its slot to the next while its picture,
    // still being written, keeps its memory.
    const int f = ask(70);
    const int g = ask(10);
    const int h = ask(10);
    const int i = ask(20); // no room beside f until f is written
    QCOMPARE(granted.size(), 6);
    gate.donePainting(f);
    gate.donePainting(f); // twice frees one slot only
    QCOMPARE(granted, (QList<int>{a, b, c, e, f, g, h}));
    QCOMPARE(gate.running(), 2);
    QCOMPARE(gate.reserved(), 90);
    gate.release(f);
    QCOMPARE(granted.size(), 7); // both slots are taken by g and h
    gate.release(g);
    QCOMPARE(granted.last(), i);
    QCOMPARE(gate.reserved(), 30);
    gate.release(h);
    gate.release(i);
    QCOMPARE(gate.running(), 0);
    QCOMPARE(gate.reserved(), 0);
}

void TestCaptureOutput::reservationsStayWithinTheBudget()
{
    const qint64 mib = 1024 * 1024;
    CaptureGate gate(4, 4096 * mib);
    const auto small = gate.reservationFor(4 * mib);
    QVERIFY(small.maxPictureBytes >= 4 * mib + 16 * mib); // room to grow
    QVERIFY(small.bytes >= 2 * small.maxPictureBytes - 1);
    const auto large = gate.reservationFor(3000 * mib);
    QVERIFY(large.maxPictureBytes >= 3000 * mib);
    QCOMPARE(large.bytes, 4096 * mib); // capped at the budget: it runs alone
    QVERIFY(gate.fitsBudget(4096 * mib));
    QVERIFY(!gate.fitsBudget(4096 * mib + 1));
}

void TestCaptureOutput::failedWritesLeaveTheEarlierFile_data()
{
    QTest::addColumn<OutputFormat>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("limitFileSize");
    QTest::addColumn<QString>("reason");

    QTest::newRow("png cut short") << OutputFormat::Png << QSize(800, 2000) << true << "";
    QTest::newRow("jpg cut short") << OutputFormat::Jpeg << QSize(800, 2000) << true << "";
    QTest::newRow("bmp cut short") << OutputFormat::Bmp << QSize(800, 2000) << true << "";
    QTest::newRow("webp too tall") << OutputFormat::Webp << QSize(4, 16384) << false << "16383";
    QTest::newRow("jpg too tall") << OutputFormat::Jpeg << QSize(1, 65501) << false << "65500";
}

void TestCaptureOutput::failedWritesLeaveTheEarlierFile()
{
    QFETCH(OutputFormat, format);
    QFETCH(QSize, size);
    QFETCH(bool, limitFileSize);
    QFETCH(QString, reason);
    if (!checkAvailable(format))
        QSKIP("This format cannot be written here.");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("page.") + extensionOf(format));
    const QByteArray earlier("the earlier picture");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(earlier), earlier.size());
    }
    // Noise, so that no encoder can make the file small.
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = 0xff000000u | ((quint32(x) * 2654435761u) ^ (quint32(y) * 40503u));
    }

    Status written;
    {
        std::optional<test::FileSizeLimit> limit;
        if (limitFileSize && !limit.emplace(64 * 1024).active())
            QSKIP("the file size limit cannot be lowered here");
        written = writePicture(image, path, format, 90);
    }
    QVERIFY(!written);
    QVERIFY2(written.error().contains(path), qPrintable(written.error()));
    QVERIFY2(written.error().contains(reason), qPrintable(written.error()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), earlier);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QFileInfo(path).fileName()});
}

QTEST_GUILESS_MAIN(TestCaptureOutput)
#include "tst_output.moc"
