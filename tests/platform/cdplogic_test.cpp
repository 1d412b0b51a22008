// The browser layer's own logic, without Chromium: what page events mean,
// resolving addresses, stale profile folders, and a browser that cannot
// start.

#include "platform/cdp/addressresolution.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/cdp/pageevents.h"
#include "platform/cdp/profilefolders.h"
#include "support/waitfor.h"

#include <QDir>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
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

} // namespace

class CdpLogicTest : public QObject
{
    Q_OBJECT

private slots:
    void framesCompleteBeforeTheTopLevelOnce();
    void eachLoadOfThePageCompletesOnce();
    void failedAndSameDocumentNavigations();
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
    QVERIFY(!browser.startStatus());
    QVERIFY2(browser.startStatus().error().contains(options.executable),
             qPrintable(browser.startStatus().error()));
    QCOMPARE(browser.processId(), 0);

    // A page asked for is lost at once, saying why, from the event loop.
    Page *page = browser.openPage();
    QVERIFY(page->isLost());
    QSignalSpy lost(page, &Page::lost);
    QCOMPARE(lost.count(), 0);
    QTRY_COMPARE(lost.count(), 1);
    const auto why = lost.at(0).at(0).value<Failure>();
    QCOMPARE(why.kind, FailureKind::BrowserLost);
    QVERIFY2(why.message.contains(options.executable), qPrintable(why.message));

    // Every request fails with the same failure; nothing is loaded.
    const Status navigated = page->navigate(QStringLiteral("http://127.0.0.1/"));
    QVERIFY(!navigated);
    QCOMPARE(navigated.error(), why.message);
    QVERIFY(!page->hasDocument());
    const Result<DocumentMetrics> metrics =
        test::waitFor<DocumentMetrics>([page](auto done) { page->measureDocument(done); });
    QVERIFY(!metrics);
    QCOMPARE(metrics.kind(), FailureKind::BrowserLost);
    const Result<QByteArray> painted =
        test::waitFor<QByteArray>([page](auto done) { page->paint(QRect(0, 0, 10, 10), done); });
    QCOMPARE(painted.error(), why.message);
    const Result<int> pages =
        test::waitFor<int>([&browser](auto done) { browser.countPages(done); });
    QVERIFY(!pages);

    // The layout viewport is kept, and checked.
    QVERIFY(page->setLayoutViewport(QSize(800, 600), 2));
    QCOMPARE(page->layoutViewport(), QSize(800, 600));
    QCOMPARE(page->deviceScale(), 2.0);
    QVERIFY(!page->setLayoutViewport(QSize(0, 600)));
    QVERIFY(!page->setLayoutViewport(QSize(800, 600), 0));
    QCOMPARE(lost.count(), 1);
}

QTEST_MAIN(CdpLogicTest)
#include "cdplogic_test.moc"
