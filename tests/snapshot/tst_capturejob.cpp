// The capture job without any widget: bands, progress, decoding, and that it
// ends exactly once, however it ends.
#include "fakes/fakebrowser.h"
#include "snapshot/bandplan.h"
#include "snapshot/capturejob.h"

#include <QSignalSpy>
#include <QtTest>

#include <tuple>

using namespace snapvel;
using namespace snapvel::test;

namespace {

DocumentMetrics pageOf(int width, int height)
{
    return {width, width, width, height, height, height};
}

// A job on a fresh fake page, with every ending recorded.
struct Job
{
    FakeBrowser browser;
    Page *page = browser.openPage();
    std::unique_ptr<CaptureJob> job;
    QList<QImage> taken;
    QList<QByteArray> encoded;
    QList<Failure> failures;
    int cancellations = 0;
    QList<QPair<int, int>> progress;

    explicit Job(CaptureOptions options = {})
    {
        // The job paints exactly the measured scroll size here.
        if (!options.areaFor)
            options.areaFor = [](const DocumentMetrics &m) {
                return QSize(int(m.scrollWidth), int(m.scrollHeight));
            };
        job = std::make_unique<CaptureJob>(*page, std::move(options));
        QObject::connect(job.get(), &CaptureJob::taken, [this](const QImage &i) { taken << i; });
        QObject::connect(job.get(), &CaptureJob::failed,
                         [this](const Failure &f) { failures << f; });
        QObject::connect(job.get(), &CaptureJob::cancelled, [this] { ++cancellations; });
        QObject::connect(job.get(), &CaptureJob::takenEncoded,
                         [this](const QByteArray &png, QSize size) {
                             encoded << png;
                             QImage image = QImage::fromData(png);
                             taken << (image.size() == size ? image : QImage());
                         });
        QObject::connect(job.get(), &CaptureJob::progress, [this](int band, int bands) {
            progress.append({band, bands});
        });
        // The end of the browser's part shows as {0, 0}.
        QObject::connect(job.get(), &CaptureJob::painted, [this] { progress.append({0, 0}); });
    }

    // takenEncoded() adds to `taken` too, so each ending counts once.
    int endings() const { return int(taken.size() + failures.size()) + cancellations; }
    // Runs the event loop until the job has ended, then a little longer to
    // show that nothing more comes.
    bool run()
    {
        job->start();
        if (!QTest::qWaitFor([&] { return endings() > 0; }, 20000))
            return false;
        QTest::qWait(50);
        return endings() == 1;
    }
};

bool showsThePattern(const QImage &image)
{
    for (int y = 0; y < image.height(); y += std::max(1, image.height() / 97))
        for (int x : {0, image.width() / 2, image.width() - 1})
            if (image.pixel(x, y) != FakeBrowser::patternColour(x, y))
                return false;
    return true;
}

} // namespace

class TestCaptureJob : public QObject
{
    Q_OBJECT

private slots:
    void bandsCoverTheAreaExactly_data();
    void bandsCoverTheAreaExactly();
    void tallPageIsPaintedInBandsWithProgress();
    void deviceScaleMultipliesThePicture();
    void waitsForTheTopLevelDocument();
    void failuresEndTheJobOnce_data();
    void failuresEndTheJobOnce();
    void cancelStopsIssuingBands();
};

void TestCaptureJob::bandsCoverTheAreaExactly_data()
{
    QTest::addColumn<QSize>("area");
    QTest::addColumn<qreal>("scale");
    QTest::addColumn<int>("preferred");
    QTest::addColumn<int>("count");
    QTest::newRow("one band") << QSize(1280, 2000) << 1.0 << 32768 << 1;
    QTest::newRow("exactly one band") << QSize(1280, 32768) << 1.0 << 32768 << 1;
    QTest::newRow("equal bands") << QSize(1280, 100000) << 1.0 << 32768 << 4;
    QTest::newRow("bounded by memory") << QSize(20000, 10000) << 1.0 << 32768 << 3;
    QTest::newRow("scaled") << QSize(1280, 40001) << 2.0 << 32768 << 4;
    QTest::newRow("fractional scale") << QSize(800, 7777) << 1.5 << 1000 << 8;
}

void TestCaptureJob::bandsCoverTheAreaExactly()
{
    QFETCH(QSize, area);
    QFETCH(qreal, scale);
    QFETCH(int, preferred);
    QFETCH(int, count);
    const QList<Band> bands = planBands(area, scale, preferred);
    QCOMPARE(bands.size(), count);
    int top = 0, pixelTop = 0;
    for (const Band &band : bands) {
        QCOMPARE(band.clip, QRect(0, top, area.width(), band.clip.height()));
        QVERIFY(band.clip.height() <= preferred);
        QVERIFY(qint64(std::llround(area.width() * scale)) * band.pixelHeight * 4 <=
                kMaxBandBytes + qint64(area.width() * scale * 4 * scale));
        QCOMPARE(band.pixelTop, pixelTop);
        // Equal heights, but for the last.
        QVERIFY(band.clip.height() == bands.first().clip.height() || &band == &bands.last());
        top += band.clip.height();
        pixelTop += band.pixelHeight;
    }
    QCOMPARE(top, area.height());
    QCOMPARE(pixelTop, int(std::llround(area.height() * scale)));
}

void TestCaptureJob::tallPageIsPaintedInBandsWithProgress()
{
    // Decoded into one image, or joined from the bands' PNG bytes.
    for (const bool encoded : {false, true}) {
        CaptureOptions options;
        options.bandHeight = 1000;
        options.encodedPng = encoded;
        Job j(options);
        j.browser.metrics = pageOf(300, 3500);
        // Lost once painted (its renderer crashed by another page), the
        // page is no longer needed for the picture.
        QObject::connect(j.job.get(), &CaptureJob::painted, [&j] {
            j.browser.page()->lose({QStringLiteral("crashed"), FailureKind::PageCrashed});
        });
        QVERIFY(j.run());
        QCOMPARE(j.failures.size(), 0);
        QCOMPARE(j.encoded.size(), encoded ? 1 : 0);
        QCOMPARE(
            j.browser.clipsPainted,
            (QList<QRect>{
                {0, 0, 300, 875}, {0, 875, 300, 875}, {0, 1750, 300, 875}, {0, 2625, 300, 875}}));
        QCOMPARE(j.progress, (QList<QPair<int, int>>{{1, 4}, {2, 4}, {3, 4}, {4, 4}, {0, 0}}));
        const QImage image = j.taken.value(0);
        QCOMPARE(image.size(), QSize(300, 3500));
        QCOMPARE(image.format(), QImage::Format_RGB32);
        QVERIFY(showsThePattern(image));
        // Rows either side of every seam.
        for (int seam : {875, 1750, 2625})
            for (int y : {seam - 1, seam})
                for (int x : {0, 150, 299})
                    QCOMPARE(image.pixel(x, y), FakeBrowser::patternColour(x, y));
        // Prepared once before it was measured, not once per band.
        QCOMPARE(j.browser.preparations.size(), 1);
        // The page covers the area while it is painted.
        QCOMPARE(j.browser.placementsPainted.value(0), (Placement{0, 0, 300, 3500}));
        QVERIFY(j.job->timings().total >= j.job->timings().measure);
    }

    // One band: the picture is the band itself, handed over as the
    // browser's PNG bytes when asked for.
    for (const bool encoded : {false, true}) {
        CaptureOptions single;
        single.encodedPng = encoded;
        Job one(single);
        one.browser.metrics = pageOf(640, 480);
        QVERIFY(one.run());
        QCOMPARE(one.progress, (QList<QPair<int, int>>{{1, 1}, {0, 0}}));
        QCOMPARE(one.encoded.size(), encoded ? 1 : 0);
        QCOMPARE(one.taken.value(0).size(), QSize(640, 480));
        QVERIFY(showsThePattern(one.taken.value(0)));
    }
}

void TestCaptureJob::deviceScaleMultipliesThePicture()
{
    // At a fractional scale the bands' pixel rows are rounded; decoded or
    // joined, they still meet exactly.
    for (const bool encoded : {false, true})
        for (const auto &[scale, height, pixels] :
             {std::tuple{2.0, 1500, QSize(800, 3000)}, std::tuple{1.5, 1501, QSize(600, 2252)}}) {
            CaptureOptions options;
            options.bandHeight = 700;
            options.encodedPng = encoded;
            Job j(options);
            QVERIFY(j.page->setLayoutViewport({400, 300}, scale).ok());
            j.browser.metrics = pageOf(400, height);
            QVERIFY(j.run());
            QCOMPARE(j.encoded.size(), encoded ? 1 : 0);
            QCOMPARE(j.taken.value(0).size(), pixels);
            QVERIFY(showsThePattern(j.taken.value(0)));
        }
}

void TestCaptureJob::waitsForTheTopLevelDocument()
{
    CaptureOptions options;
    options.address = QStringLiteral("http://127.0.0.1/page");
    Job j(options);
    j.browser.metrics = pageOf(100, 100);
    j.job->start();
    QCOMPARE(j.browser.navigated, QStringList{"http://127.0.0.1/page"});
    // Frames and downloads do not start it; the top-level document does.
    j.browser.emitDownloadComplete();
    j.browser.emitDocumentComplete(false);
    QTest::qWait(20);
    QCOMPARE(j.browser.paintCalls, 0);
    j.browser.emitDocumentComplete(true);
    QVERIFY(QTest::qWaitFor([&] { return j.endings() > 0; }));
    QCOMPARE(j.taken.size(), 1);

    // A page that never completes times out.
    CaptureOptions slow;
    slow.address = QStringLiteral("http://127.0.0.1/slow");
    slow.loadTimeout = std::chrono::milliseconds(100);
    Job s(slow);
    QVERIFY(s.run());
    QCOMPARE(s.failures.value(0).kind, FailureKind::Timeout);
    QCOMPARE(s.browser.paintCalls, 0);

    // A document that the page puts in place of its own while it is
    // measured or painted is waited for, prepared, measured and painted
    // afresh; what was painted of the one before is dropped. A page that
    // never stops is given up.
    CaptureOptions banded;
    banded.bandHeight = 1000;
    Job replaced(banded);
    Job endless(banded);
    replaced.browser.replacedMeasures = 1;
    QTimer::singleShot(50, [&replaced] { replaced.browser.emitDocumentComplete(true); });
    for (Job *j : {&replaced, &endless}) {
        j->browser.metrics = pageOf(100, 5000);
        j->browser.onPaint = [j, once = j == &replaced] {
            if (once && j->browser.paintCalls != 2)
                return;
            j->browser.metrics = pageOf(100, 3000);
            QTimer::singleShot(0, [j] { j->browser.emitDocumentReplaced(); });
            QTimer::singleShot(20, [j] { j->browser.emitDocumentComplete(true); });
        };
        QVERIFY(j->run());
    }
    QCOMPARE(replaced.taken.value(0).size(), QSize(100, 3000));
    QVERIFY(showsThePattern(replaced.taken.value(0)));
    QCOMPARE(replaced.browser.paintCalls, 2 + 3);
    QCOMPARE(replaced.browser.preparations.size(), 3);
    QCOMPARE(endless.failures.value(0).kind, FailureKind::Replaced);
    QCOMPARE(endless.browser.paintCalls, kMostDocumentReplacements + 1);
}

void TestCaptureJob::failuresEndTheJobOnce_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("kind");
    QTest::newRow("measure") << "measure" << int(FailureKind::Other);
    QTest::newRow("paint") << "paint" << int(FailureKind::Other);
    QTest::newRow("empty page") << "empty" << int(FailureKind::Other);
    QTest::newRow("too large") << "large" << int(FailureKind::TooLarge);
    QTest::newRow("page lost while being prepared")
        << "lost early" << int(FailureKind::PageCrashed);
    QTest::newRow("page lost while painting") << "lost" << int(FailureKind::PageCrashed);
    QTest::newRow("browser stopped while painting") << "stopped" << int(FailureKind::BrowserLost);
    QTest::newRow("navigation refused") << "navigate" << int(FailureKind::Other);
    QTest::newRow("address is a download") << "download" << int(FailureKind::Other);
}

void TestCaptureJob::failuresEndTheJobOnce()
{
    QFETCH(QString, what);
    QFETCH(int, kind);
    CaptureOptions options;
    options.bandHeight = 100;
    options.maxPictureBytes = 64 * 1024 * 1024;
    if (what == "navigate" || what == "download")
        options.address = QStringLiteral("http://127.0.0.1/");
    Job j(options);
    j.browser.metrics = pageOf(200, 500);
    if (what == "measure")
        j.browser.metrics.reset();
    if (what == "paint")
        j.browser.failPaint = true;
    if (what == "empty")
        j.browser.metrics = pageOf(0, 0);
    if (what == "large")
        j.browser.metrics = pageOf(10000, 10000);
    if (what == "navigate")
        j.browser.failNavigate = true;
    const Failure download{QStringLiteral("The address is a download; nothing was saved.")};
    if (what == "download")
        QTimer::singleShot(0, &j.browser, [&] { j.browser.emitNavigationFailed(download); });
    // Lost before the preparation, asked for as the job starts, has ended.
    if (what == "lost early")
        QTimer::singleShot(0, &j.browser, [&] {
            j.browser.page()->lose({QStringLiteral("crashed"), FailureKind::PageCrashed});
        });
    if (what == "lost" || what == "stopped") {
        j.browser.holdPaints = true;
        j.browser.onPaint = [&] {
            QTimer::singleShot(0, &j.browser, [&] {
                if (what == "lost")
                    j.browser.page()->lose({QStringLiteral("crashed"), FailureKind::PageCrashed});
                else
                    j.browser.stop({QStringLiteral("stopped"), FailureKind::BrowserLost});
            });
        };
    }
    QVERIFY(j.run());
    QCOMPARE(j.failures.size(), 1);
    QCOMPARE(int(j.failures[0].kind), kind);
    QVERIFY(!j.failures[0].message.isEmpty());
    if (what == "large")
        QCOMPARE(j.failures[0].message,
                 QStringLiteral("the page is too large to capture (10000 x 10000 pixels)"));
    if (what == "download")
        QCOMPARE(j.failures[0].message, download.message);
    QVERIFY(j.browser.paintCalls <= 1);
    if (what == "lost early")
        QCOMPARE(j.browser.paintCalls, 0);
}

void TestCaptureJob::cancelStopsIssuingBands()
{
    CaptureOptions options;
    options.bandHeight = 100;
    Job j(options);
    j.browser.metrics = pageOf(200, 1000);
    j.browser.paintDelayMs = 30;
    j.browser.onPaint = [&] {
        if (j.browser.paintCalls == 3)
            j.job->cancel();
    };
    QElapsedTimer clock;
    clock.start();
    QVERIFY(j.run());
    QCOMPARE(j.cancellations, 1);
    QVERIFY(j.taken.isEmpty());
    QCOMPARE(j.browser.paintCalls, 3);
    // Cancelling again, or after the end, changes nothing.
    j.job->cancel();
    QTest::qWait(60);
    QCOMPARE(j.endings(), 1);
}

QTEST_MAIN(TestCaptureJob)
#include "tst_capturejob.moc"
