// The browser layer's own logic, without Chromium: what page events mean,
// painting in bands, resolving addresses, and stale profile folders.

#include "platform/cdp/addressresolution.h"
#include "platform/cdp/bandedpaint.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/cdp/pageevents.h"
#include "platform/cdp/profilefolders.h"

#include <QDir>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace snapvel;
using namespace snapvel::cdp;
using Signal = PageEvents::Signal;

namespace {

QJsonObject frameParams(const QString &frameId)
{
    return {{QStringLiteral("frameId"), frameId}};
}

QJsonObject navigated(const QString &frameId, const QString &url, const QString &parentId = {})
{
    QJsonObject frame{{QStringLiteral("id"), frameId}, {QStringLiteral("url"), url}};
    if (!parentId.isEmpty())
        frame.insert(QStringLiteral("parentId"), parentId);
    return {{QStringLiteral("frame"), frame}};
}

// A band painter whose pixels encode the document row they show.
QImage bandPicture(const QRect &band)
{
    QImage image(band.size(), QImage::Format_ARGB32);
    for (int y = 0; y < band.height(); ++y)
        for (int x = 0; x < band.width(); x += std::max(1, band.width() - 1))
            image.setPixel(x, y, qRgb((band.y() + y) % 251, (band.y() + y) / 251 % 251, 7));
    return image;
}

bool rowsMatchDocument(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        if (image.pixel(0, y) != qRgb(y % 251, y / 251 % 251, 7) ||
            image.pixel(image.width() - 1, y) != qRgb(y % 251, y / 251 % 251, 7))
            return false;
    return true;
}

} // namespace

class CdpLogicTest : public QObject
{
    Q_OBJECT

private slots:
    void framesCompleteBeforeTheTopLevelOnce();
    void eachLoadOfThePageCompletesOnce();
    void failedAndSameDocumentNavigations();
    void tallAreasArePaintedInBands();
    void paintFailuresAreReported();
    void bandsStayWithinTheMemoryBound();
    void resolvesAddresses_data();
    void resolvesAddresses();
    void removesOnlyStaleProfileFolders();
    void aMissingBrowserIsReportedByPath();
};

void CdpLogicTest::framesCompleteBeforeTheTopLevelOnce()
{
    PageEvents events;
    events.reset(QStringLiteral("main"));
    events.navigationRequested();
    QCOMPARE(events.handle(QStringLiteral("Page.frameStartedLoading"), frameParams("main")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("main", "http://127.0.0.1/page.html")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.domContentEventFired"), {}),
             QList<Signal>{Signal::DownloadComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("child1")),
             QList<Signal>{Signal::FrameComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("child2")),
             QList<Signal>{Signal::FrameComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{Signal::TopLevelComplete});
    // A repeated stop of the page without a new load is not a second one.
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{});
}

void CdpLogicTest::eachLoadOfThePageCompletesOnce()
{
    PageEvents events;
    events.reset(QStringLiteral("main"));
    // A stop before anything was asked for completes nothing.
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{});
    // A load the page starts itself (a script redirect) completes too.
    events.handle(QStringLiteral("Page.frameStartedLoading"), frameParams("main"));
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{Signal::TopLevelComplete});
    // The page's frame id changes when Chromium swaps it for another.
    events.navigationRequested();
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("swapped", "http://127.0.0.1/other.html")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("child", "http://127.0.0.1/frame.html", "swapped")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("swapped")),
             QList<Signal>{Signal::TopLevelComplete});
}

void CdpLogicTest::failedAndSameDocumentNavigations()
{
    PageEvents events;
    events.reset(QStringLiteral("main"));
    events.navigationRequested();
    const QJsonObject failed{
        {QStringLiteral("frameId"), QStringLiteral("main")},
        {QStringLiteral("loaderId"), QStringLiteral("L1")},
        {QStringLiteral("errorText"), QStringLiteral("net::ERR_CONNECTION_REFUSED")}};
    QCOMPARE(events.navigationAnswered(failed, {}), QList<Signal>{Signal::DownloadComplete});
    QCOMPARE(events.navigationAnswered({}, QStringLiteral("Cannot navigate to invalid URL")),
             QList<Signal>{Signal::DownloadComplete});
    // The error page's load ends the download and completes the page.
    QJsonObject errorPage = navigated("main", "chrome-error://chromewebdata/");
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"), errorPage),
             QList<Signal>{Signal::DownloadComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{Signal::TopLevelComplete});

    // A jump within the document loads nothing and completes at once.
    events.navigationRequested();
    const QJsonObject sameDocument{{QStringLiteral("frameId"), QStringLiteral("main")}};
    QCOMPARE(events.navigationAnswered(sameDocument, {}),
             (QList<Signal>{Signal::DownloadComplete, Signal::TopLevelComplete}));
    const QJsonObject loading{{QStringLiteral("frameId"), QStringLiteral("main")},
                              {QStringLiteral("loaderId"), QStringLiteral("L2")}};
    QCOMPARE(events.navigationAnswered(loading, {}), QList<Signal>{});
}

void CdpLogicTest::tallAreasArePaintedInBands()
{
    QList<QRect> asked;
    const PaintBand painter = [&asked](const QRect &band) -> Result<QImage> {
        asked << band;
        return bandPicture(band);
    };
    // 1,000 rows in bands of at most 300: four bands of 250.
    const Result<QImage> banded = paintInBands(QSize(40, 1000), 300, painter);
    QVERIFY2(banded, qPrintable(banded.error()));
    QCOMPARE(asked, (QList<QRect>{QRect(0, 0, 40, 250), QRect(0, 250, 40, 250),
                                  QRect(0, 500, 40, 250), QRect(0, 750, 40, 250)}));
    QCOMPARE(banded->size(), QSize(40, 1000));
    QCOMPARE(banded->format(), QImage::Format_RGB32);
    QVERIFY(rowsMatchDocument(banded.value()));

    // An area that fits one band is painted at once.
    asked.clear();
    const Result<QImage> single = paintInBands(QSize(40, 300), 300, painter);
    QVERIFY(single);
    QCOMPARE(asked, QList<QRect>{QRect(0, 0, 40, 300)});
    QCOMPARE(single->format(), QImage::Format_RGB32);
    QVERIFY(rowsMatchDocument(single.value()));
}

void CdpLogicTest::paintFailuresAreReported()
{
    const PaintBand painter = [](const QRect &band) -> Result<QImage> { return bandPicture(band); };
    const Result<QImage> empty = paintInBands(QSize(0, 100), 300, painter);
    QVERIFY(!empty);
    QCOMPARE(empty.error(), QStringLiteral("The page has nothing to paint."));
    QVERIFY(!paintInBands(QSize(100, 0), 300, painter));

    const Result<QImage> huge = paintInBands(QSize(200000, 200000), 300, painter);
    QVERIFY(!huge);
    QCOMPARE(huge.error(),
             QStringLiteral("The page is too large to hold in memory (200000 x 200000 pixels)."));

    // A band that comes back the wrong size, or not at all, fails the paint.
    int bands = 0;
    const PaintBand shortSecond = [&bands](const QRect &band) -> Result<QImage> {
        return bandPicture(++bands == 2 ? band.adjusted(0, 0, 0, -1) : band);
    };
    const Result<QImage> wrong = paintInBands(QSize(40, 1000), 300, shortSecond);
    QVERIFY(!wrong);
    QVERIFY2(wrong.error().contains(QLatin1String("40 x 249")), qPrintable(wrong.error()));
    const PaintBand failing = [](const QRect &) -> Result<QImage> {
        return Failure{QStringLiteral("The browser stopped unexpectedly.")};
    };
    QCOMPARE(paintInBands(QSize(40, 1000), 300, failing).error(),
             QStringLiteral("The browser stopped unexpectedly."));
}

void CdpLogicTest::bandsStayWithinTheMemoryBound()
{
    QCOMPARE(bandHeightFor(1280, 32768), 32768);
    const qint64 bound = qint64(256) * 1024 * 1024;
    const int tall = bandHeightFor(1280, 1000000);
    QVERIFY(tall < 1000000);
    QVERIFY(qint64(tall) * 1280 * 4 <= bound);
    QVERIFY(qint64(tall + 1) * 1280 * 4 > bound);
    QCOMPARE(bandHeightFor(100000000, 32768), 1);
}

void CdpLogicTest::resolvesAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected"); // empty: refused
    QTest::newRow("bare host") << "example.com"
                               << "http://example.com";
    QTest::newRow("blanks around") << "  example.com/a  "
                                   << "http://example.com/a";
    QTest::newRow("full address") << "https://example.com/x?y=1"
                                  << "https://example.com/x?y=1";
    QTest::newRow("absolute path") << "/tmp/page.html"
                                   << "file:///tmp/page.html";
    QTest::newRow("javascript") << "javascript:alert(1)"
                                << "";
    QTest::newRow("javascript, any case, leading blanks") << "  JaVaScRiPt:void(0)"
                                                          << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank") << "   "
                           << "";
}

void CdpLogicTest::resolvesAddresses()
{
    QFETCH(QString, address);
    QFETCH(QString, expected);
    const Result<QUrl> url = resolveAddress(address);
    if (expected.isEmpty()) {
        QVERIFY(!url);
        QVERIFY(!url.error().isEmpty());
    } else {
        QVERIFY2(url, qPrintable(url.error()));
        QCOMPARE(url->toString(), expected);
    }
}

void CdpLogicTest::removesOnlyStaleProfileFolders()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    // A process that has ended: its pid names a stale folder.
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"));
    QVERIFY(ended.waitForFinished());
    const qint64 deadPid = ended.processId() ? ended.processId() : 999999;
    const QString stale = QStringLiteral("snapvel-browser-%1-abcDEF").arg(deadPid);
    const QString live = QStringLiteral("snapvel-browser-%1-ghiJKL")
                             .arg(QCoreApplication::applicationPid() == 1 ? 2 : 1);
    const QString own =
        QStringLiteral("snapvel-browser-%1-mnoPQR").arg(QCoreApplication::applicationPid());
    const QString other = QStringLiteral("another-folder");
    for (const QString &folder : {stale, live, own, other})
        QVERIFY(QDir(temp.path()).mkpath(folder + QStringLiteral("/Default")));
    // A process started after its folder was made is not the folder's
    // owner: the owner was killed, and its id given again since.
    const QString unnamed = QStringLiteral("snapvel-browser-0-stuVWX");
    QVERIFY(QDir(temp.path()).mkpath(unnamed + QStringLiteral("/Default")));
    QTest::qWait(300);
    QProcess later;
    later.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(later.waitForStarted());
    const QString reused = QStringLiteral("snapvel-browser-%1-stuVWX").arg(later.processId());
    QVERIFY(QDir(temp.path()).rename(unnamed, reused));

    QCOMPARE(removeStaleProfileFolders(temp.path()), 2);
    later.kill();
    later.waitForFinished();
    QDir dir(temp.path());
    QVERIFY(!dir.exists(stale));
    QVERIFY(!dir.exists(reused));
    QVERIFY(dir.exists(live));
    QVERIFY(dir.exists(own));
    QVERIFY(dir.exists(other));
}

void CdpLogicTest::aMissingBrowserIsReportedByPath()
{
    ChromiumBrowserOptions options;
    options.executable = QStringLiteral("/nonexistent/chromium");
    ChromiumBrowser browser(options);
    const Status navigated = browser.navigate(QStringLiteral("http://127.0.0.1/"));
    QVERIFY(!navigated);
    QVERIFY2(navigated.error().contains(options.executable), qPrintable(navigated.error()));
    QVERIFY(!browser.hasDocument());
    QCOMPARE(browser.processId(), 0);
    QVERIFY(!browser.measureDocument());
    // The layout viewport is kept for when a browser runs.
    QVERIFY(browser.setLayoutViewport(QSize(800, 600)));
    QCOMPARE(browser.layoutViewport(), QSize(800, 600));
    QVERIFY(!browser.setLayoutViewport(QSize(0, 600)));
}

QTEST_MAIN(CdpLogicTest)
#include "cdplogic_test.moc"
