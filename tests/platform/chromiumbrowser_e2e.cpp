// End-to-end tests of the Chromium browser and its pages: a real headless
// Chromium loads pages served by the test's own HTTP server.

#include "platform/cdp/chromiumbrowser.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/processtree.h"
#include "support/stripedpage.h"
#include "support/waitfor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

using namespace snapvel;
using namespace std::chrono_literals;
using snapvel::test::PageServer;

namespace {

constexpr int LoadTimeoutMs = 20000;
// How soon a lost renderer or browser must be reported.
constexpr int LossReportedMs = 2000;

// What a page emitted, in order: "download", "frame", "top", or "lost" or
// "failed" (a navigation without a document) followed by the message.
class PageLog
{
public:
    explicit PageLog(Page &page)
    {
        QObject::connect(&page, &Page::downloadComplete, &m_context,
                         [this] { m_events << QStringLiteral("download"); });
        QObject::connect(&page, &Page::documentComplete, &m_context, [this](bool topLevel) {
            m_events << (topLevel ? QStringLiteral("top") : QStringLiteral("frame"));
        });
        QObject::connect(&page, &Page::lost, &m_context, [this](const Failure &why) {
            m_events << QStringLiteral("lost ") + why.message;
            lostKind = why.kind;
        });
        QObject::connect(&page, &Page::navigationFailed, &m_context, [this](const Failure &why) {
            m_events << QStringLiteral("failed ") + why.message;
        });
    }
    QStringList events() const { return m_events; }
    int count(const QString &event) const { return m_events.count(event); }
    bool lost() const { return !m_events.filter(QRegularExpression("^lost ")).isEmpty(); }

    FailureKind lostKind = FailureKind::Other;

private:
    QObject m_context;
    QStringList m_events;
};

// The process state letter from /proc/<pid>/stat, or 0 when the process is
// gone.
char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close > 0 && close + 2 < line.size() ? line.at(close + 2) : 0;
}

bool processAlive(qint64 pid)
{
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

// Live processes in the process group led by pgid.
QList<qint64> processGroupMembers(qint64 pgid)
{
    QList<qint64> members;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // Fields after the name: state, ppid, pgrp.
        if (fields.size() > 2 && fields.at(2).toLongLong() == pgid && fields.at(0) != "Z")
            members << pid;
    }
    return members;
}

// Kills every renderer of a Chromium; returns how many there were.
QByteArray framePage(const QByteArray &text)
{
    return "<!DOCTYPE html><html><body><p>" + text + "</p></body></html>";
}

Result<DocumentMetrics> measure(Page &page)
{
    return test::waitFor<DocumentMetrics>([&page](auto done) { page.measureDocument(done); });
}

Result<QImage> paintPicture(Page &page, const QRect &clip)
{
    const Result<QByteArray> png =
        test::waitFor<QByteArray>([&page, clip](auto done) { page.paint(clip, done); });
    if (!png)
        return png.failure();
    const QImage image = QImage::fromData(png.value(), "PNG");
    if (image.isNull())
        return Failure{QStringLiteral("the paint is not a PNG picture")};
    return image;
}

Result<int> pageCount(ChromiumBrowser &browser)
{
    return test::waitFor<int>([&browser](auto done) { browser.countPages(done); });
}

// Asks for the page count until it is `expected`; returns the last count.
int waitForPageCount(ChromiumBrowser &browser, int expected)
{
    int pages = -1;
    for (int attempt = 0; attempt < 100 && pages != expected; ++attempt) {
        if (attempt > 0)
            QTest::qWait(50);
        const Result<int> counted = pageCount(browser);
        pages = counted ? counted.value() : -1;
    }
    return pages;
}

} // namespace

class ChromiumBrowserE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void requestsWaitUntilTheBrowserIsReady();
    void framesCompleteBeforeTheTopLevelDocument();
    void failedNavigationStillEndsTheDownload();
    void measuresTheScrollingElement();
    void paintsATallPageRowByRow();
    void paintingDoesNotEnlargeTheLayoutViewport();
    void refusesNewWindows();
    void allowedNewWindowLeavesThePageAlone();
    void authenticationChallengesShowTheServersPage_data();
    void authenticationChallengesShowTheServersPage();
    void twoPagesLoadAndPaintIndependently();
    void aKilledRendererLosesOnlyItsPage();
    void aPageThatNeverYieldsIsLost();
    void aKilledOrHungBrowserIsReplaced();
    void listensNowhereAndKeepsItsProfilePrivate();
    void leavesNothingBehindWhenDestroyed();
    void diesWithTheProgramAndItsProfileIsClearedLater();
    void cleanupTestCase();

private:
    // Navigates a page to a path of the test server and waits for its
    // top-level completion.
    bool loadAndWait(Page &page, const QString &path);

    std::unique_ptr<PageServer> m_server;
    std::unique_ptr<ChromiumBrowser> m_browser;
    // A fresh page of m_browser for each test.
    QPointer<Page> m_page;
};

void ChromiumBrowserE2E::initTestCase()
{
    // A 20,000 px paint decodes to more than Qt's default limit.
    QImageReader::setAllocationLimit(1024);
    m_server = std::make_unique<PageServer>();
    m_server->addPage(QStringLiteral("/small.html"), framePage("small"));
    m_server->addPage(QStringLiteral("/frame1.html"), framePage("first frame"));
    m_server->addPage(QStringLiteral("/frame2.html"), framePage("second frame"));
    m_server->addPage(QStringLiteral("/frames.html"),
                      "<!DOCTYPE html><html><body><h1>Two frames</h1>"
                      "<iframe src=\"/frame1.html\"></iframe>"
                      "<iframe src=\"/frame2.html\"></iframe></body></html>");
    // A page whose picture never arrives: its load never ends.
    m_server->addStalled(QStringLiteral("/stalled.png"));
    m_server->addPage(
        QStringLiteral("/loading.html"),
        "<!DOCTYPE html><html><body>loading <img src=\"/stalled.png\"></body></html>");
    // An authentication challenge, on its own and in a frame.
    m_server->addResponse(QStringLiteral("/private.html"), "401 Unauthorized",
                          "WWW-Authenticate: Basic realm=\"snapvel\"\r\n",
                          "<!DOCTYPE html><body style='margin:0;background:rgb(0,0,120)'>");
    m_server->addPage(QStringLiteral("/framed-private.html"),
                      "<!DOCTYPE html><body style='margin:0;background:rgb(0,120,0)'>"
                      "<iframe src='/private.html' style='border:0;width:200px;height:200px'>");
    m_browser = std::make_unique<ChromiumBrowser>();
    QVERIFY2(m_browser->startStatus(), qPrintable(m_browser->startStatus().error()));
}

void ChromiumBrowserE2E::init()
{
    m_page = m_browser->openPage();
}

void ChromiumBrowserE2E::cleanup()
{
    delete m_page;
}

void ChromiumBrowserE2E::cleanupTestCase()
{
    m_browser.reset();
    m_server.reset();
}

bool ChromiumBrowserE2E::loadAndWait(Page &page, const QString &path)
{
    return test::loadAndWait(page, m_server->url(path).toString(), LoadTimeoutMs);
}

void ChromiumBrowserE2E::requestsWaitUntilTheBrowserIsReady()
{
    // A page of a browser that has only just been started.
    ChromiumBrowser browser;
    Page *page = browser.openPage();
    PageLog log(*page);
    QVERIFY(!page->isLost());
    QVERIFY(!page->hasDocument());
    const Result<DocumentMetrics> none = measure(*page);
    QVERIFY(!none);
    QCOMPARE(none.error(), QStringLiteral("No page has been loaded yet."));
    QVERIFY(!paintPicture(*page, QRect(0, 0, 10, 10)));
    // Addresses that would run script are refused, and load nothing.
    for (const QString &address :
         {QStringLiteral("javascript:alert(1)"), QStringLiteral("  JavaScript:void(0)"),
          QStringLiteral("JAVASCRIPT:location='http://127.0.0.1/'")}) {
        const Status status = page->navigate(address);
        QVERIFY2(!status, qPrintable(address));
        QVERIFY(status.error().contains(QLatin1String("javascript:")));
    }
    QVERIFY(!page->hasDocument());

    // Kept until the page is ready, then applied and loaded in order.
    QVERIFY(page->setLayoutViewport(QSize(1100, 700)));
    page->hideScrollbars();
    QVERIFY(loadAndWait(*page, QStringLiteral("/small.html")));
    QCOMPARE(log.events(), (QStringList{"download", "top"}));
    const Result<DocumentMetrics> metrics = measure(*page);
    QVERIFY2(metrics, qPrintable(metrics.error()));
    QCOMPARE(metrics->clientWidth, 1100);
    QCOMPARE(metrics->clientHeight, 700);
    QCOMPARE(pageCount(browser).value(), 1);
}

void ChromiumBrowserE2E::framesCompleteBeforeTheTopLevelDocument()
{
    PageLog log(*m_page);
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/frames.html")));
    QVERIFY(m_page->hasDocument());
    // A round trip through the page: whatever it reported before is in.
    QVERIFY(measure(*m_page));
    const QStringList events = log.events();
    QVERIFY2(events.contains(QStringLiteral("download")), qPrintable(events.join(' ')));
    QCOMPARE(log.count(QStringLiteral("top")), 1);
    const qsizetype top = events.indexOf(QStringLiteral("top"));
    QVERIFY2(events.mid(0, top).count(QStringLiteral("frame")) >= 2, qPrintable(events.join(' ')));
    QVERIFY(m_server->requestedPaths().contains(QStringLiteral("/frame2.html")));

    // Its network is quiet once loaded; a page whose picture never arrives
    // is not.
    const Result<bool> quiet =
        test::waitFor<bool>([this](auto done) { m_page->waitForNetworkIdle(10s, done); });
    QVERIFY2(quiet, qPrintable(quiet.error()));
    QVERIFY(quiet.value());
    QVERIFY(m_page->navigate(m_server->url(QStringLiteral("/loading.html")).toString()));
    const Result<bool> busy =
        test::waitFor<bool>([this](auto done) { m_page->waitForNetworkIdle(1500ms, done); });
    QVERIFY2(busy, qPrintable(busy.error()));
    QVERIFY(!busy.value());
}

void ChromiumBrowserE2E::failedNavigationStillEndsTheDownload()
{
    PageLog log(*m_page);
    const QString refused = PageServer::refusedAddress(QStringLiteral("/nothing.html"));
    QVERIFY(!refused.isEmpty());
    QVERIFY(m_page->navigate(refused));
    QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("download")) >= 1, LoadTimeoutMs);
    // Chromium's error page loads in its place and completes the page, once.
    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("top")), 1, LoadTimeoutMs);
    QVERIFY(measure(*m_page));
    QCOMPARE(log.count(QStringLiteral("top")), 1);
    QVERIFY(m_page->hasDocument());
    QVERIFY(!log.lost());

    // A download and an answer with nothing to show end without a
    // document: said once each, the error page stays, and the page loads
    // the next address.
    m_server->addResponse(QStringLiteral("/file.zip"), "200 OK",
                          "Content-Disposition: attachment; filename=\"file.zip\"\r\n", "zip",
                          "application/zip");
    m_server->addResponse(QStringLiteral("/nothing"), "204 No Content", {}, {});
    const struct
    {
        QString path;
        QString said;
    } endings[] = {
        {QStringLiteral("/file.zip"),
         QStringLiteral("failed The address is a download; nothing was saved.")},
        {QStringLiteral("/nothing"), QStringLiteral("failed The address has no page to show.")}};
    for (const auto &ending : endings) {
        PageLog ended(*m_page);
        QVERIFY(m_page->navigate(m_server->url(ending.path).toString()));
        QTRY_VERIFY_WITH_TIMEOUT(ended.count(ending.said) == 1, LoadTimeoutMs);
        QVERIFY(measure(*m_page));
        QCOMPARE(ended.events(), (QStringList{"download", ending.said}));
    }
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/small.html")));
}

void ChromiumBrowserE2E::measuresTheScrollingElement()
{
    m_server->addPage(QStringLiteral("/measure.html"),
                      "<!DOCTYPE html><html><head><style>"
                      "body{margin:20px}"
                      "#flow{height:300px}"
                      "#far{position:absolute;left:2000px;top:3000px;width:100px;height:100px}"
                      "</style></head><body><div id=flow></div><div id=far></div></body></html>");
    QVERIFY(m_page->setLayoutViewport(QSize(1000, 700)));
    QCOMPARE(m_page->layoutViewport(), QSize(1000, 700));
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/measure.html")));
    // No room is kept for scroll bars, before hiding them as after: the page
    // is measured (and painted) at its own width.
    const Result<DocumentMetrics> unhidden = measure(*m_page);
    QVERIFY2(unhidden, qPrintable(unhidden.error()));
    QCOMPARE(unhidden->clientWidth, 1000);
    QCOMPARE(unhidden->clientHeight, 700);

    m_page->hideScrollbars();
    const Result<DocumentMetrics> metrics = measure(*m_page);
    QVERIFY2(metrics, qPrintable(metrics.error()));
    // The positioned box beyond the body is inside the page.
    QCOMPARE(metrics->scrollWidth, 2100);
    QCOMPARE(metrics->scrollHeight, 3100);
    // The viewport's outer and inner sizes: equal, with no scroll bars.
    QCOMPARE(metrics->offsetWidth, 1000);
    QCOMPARE(metrics->offsetHeight, 700);
    QCOMPARE(metrics->clientWidth, 1000);
    QCOMPARE(metrics->clientHeight, 700);

    // In quirks mode the body is the scrolling element.
    m_server->addPage(QStringLiteral("/quirks.html"),
                      "<html><body style=\"margin:10px\"><div style=\"height:2000px\"></div>"
                      "</body></html>");
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/quirks.html")));
    const Result<DocumentMetrics> quirks = measure(*m_page);
    QVERIFY2(quirks, qPrintable(quirks.error()));
    QCOMPARE(quirks->scrollHeight, 2020);
    QCOMPARE(quirks->offsetHeight, 700);
    QCOMPARE(quirks->clientHeight, 700);

    // A document without a body (a picture) is measured by its root.
    m_server->addPage(QStringLiteral("/picture.svg"),
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"200\" height=\"3000\">"
                      "<rect width=\"200\" height=\"3000\" fill=\"red\"/></svg>",
                      "image/svg+xml");
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/picture.svg")));
    const Result<DocumentMetrics> bodiless = measure(*m_page);
    QVERIFY2(bodiless, qPrintable(bodiless.error()));
    QCOMPARE(bodiless->scrollHeight, 3000);

    // One without even a root cannot be measured, and the page carries on.
    m_server->addPage(QStringLiteral("/rootless.html"),
                      "<script>document.documentElement.remove()</script>");
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/rootless.html")));
    const Result<DocumentMetrics> rootless = measure(*m_page);
    QVERIFY(!rootless);
    QCOMPARE(rootless.kind(), FailureKind::Other);
    QVERIFY(!m_page->isLost());
}

void ChromiumBrowserE2E::paintsATallPageRowByRow()
{
    const int width = 1280;
    const int height = 20000;
    m_server->addPage(QStringLiteral("/tall.html"), test::stripedPageHtml(width, height));
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/tall.html")));
    m_page->hideScrollbars();

    const Result<QImage> nothing = paintPicture(*m_page, QRect(0, 0, 0, height));
    QVERIFY(!nothing);
    QCOMPARE(nothing.error(), QStringLiteral("The page has nothing to paint."));
    QVERIFY(!m_page->setPlacement(Placement{0, 0, -1, 10}));
    QVERIFY(m_page->setPlacement(Placement{5, 7, width, height}));
    QCOMPARE(m_page->placement(), (Placement{5, 7, width, height}));
    // Setting the placement leaves the layout viewport as it was.
    QCOMPARE(m_page->layoutViewport(), QSize(1280, 800));

    const Result<QImage> painted = paintPicture(*m_page, QRect(0, 0, width, height));
    QVERIFY2(painted, qPrintable(painted.error()));
    QCOMPARE(test::checkStripes(painted.value(), width, height, 10), -1);

    // A clip further down shows that part of the page.
    const Result<QImage> band = paintPicture(*m_page, QRect(0, 12345, width, 3000));
    QVERIFY2(band, qPrintable(band.error()));
    QCOMPARE(band->size(), QSize(width, 3000));
    for (int y = 5; y < 3000; y += 10)
        QCOMPARE(band->pixel(width / 2, y) & 0xffffff,
                 test::stripeColour((12345 + y) / 10) & 0xffffff);

    // At device scale 2 the same clip has twice the pixels each way.
    QVERIFY(m_page->setLayoutViewport(QSize(1280, 800), 2));
    const Result<QImage> sharp = paintPicture(*m_page, QRect(0, 0, 100, 50));
    QVERIFY2(sharp, qPrintable(sharp.error()));
    QCOMPARE(sharp->size(), QSize(200, 100));
    QCOMPARE(sharp->pixel(0, 10) & 0xffffff, test::stripeColour(0) & 0xffffff);
    QCOMPARE(sharp->pixel(0, 30) & 0xffffff, test::stripeColour(1) & 0xffffff);
}

void ChromiumBrowserE2E::paintingDoesNotEnlargeTheLayoutViewport()
{
    // A screen-high red block above 2,000 px of blue: painted at its full
    // height, the red block keeps the viewport's height.
    m_server->addPage(QStringLiteral("/screen.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0\">"
                      "<div style=\"height:100vh;background:#ff0000\"></div>"
                      "<div style=\"height:2000px;background:#0000ff\"></div></body></html>");
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/screen.html")));
    m_page->hideScrollbars();
    const Result<DocumentMetrics> before = measure(*m_page);
    QVERIFY2(before, qPrintable(before.error()));
    QCOMPARE(before->scrollHeight, 2800);
    const Result<QImage> painted = paintPicture(*m_page, QRect(0, 0, 1280, 2800));
    QVERIFY2(painted, qPrintable(painted.error()));
    QCOMPARE(painted->pixel(640, 799), qRgb(255, 0, 0));
    QCOMPARE(painted->pixel(640, 800), qRgb(0, 0, 255));
    QCOMPARE(painted->pixel(640, 2799), qRgb(0, 0, 255));
    const Result<DocumentMetrics> after = measure(*m_page);
    QVERIFY2(after, qPrintable(after.error()));
    QCOMPARE(after->scrollHeight, 2800);
    QCOMPARE(m_page->layoutViewport(), QSize(1280, 800));
}

void ChromiumBrowserE2E::refusesNewWindows()
{
    m_server->addPage(QStringLiteral("/opener.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0\">"
                      "<div style=\"height:1234px\"></div>"
                      "<script>window.addEventListener('load', () => "
                      "setTimeout(() => window.open('/popup1.html'), 0));</script>"
                      "</body></html>");
    m_server->addPage(QStringLiteral("/blanklink.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0\">"
                      "<div style=\"height:1357px\"><a id=link href=\"/popup2.html\" "
                      "target=\"_blank\">new window</a></div>"
                      "<script>window.addEventListener('load', () => "
                      "setTimeout(() => document.getElementById('link').click(), 0));</script>"
                      "</body></html>");
    // A refused window's own request may already be on its way when the
    // window is closed, but its document never loads: its image is never
    // asked for.
    m_server->addPage(QStringLiteral("/popup1.html"),
                      framePage("first popup <img src=\"/popup1.png\">"));
    m_server->addPage(QStringLiteral("/popup2.html"),
                      framePage("second popup <img src=\"/popup2.png\">"));

    int requests = 0;
    QObject context;
    connect(m_page, &Page::newWindowRequested, &context, [&requests](bool *cancel) {
        ++requests;
        *cancel = true;
    });
    const struct
    {
        QString page;
        int height;
    } cases[] = {{QStringLiteral("/opener.html"), 1234}, {QStringLiteral("/blanklink.html"), 1357}};
    for (const auto &openerCase : cases) {
        requests = 0;
        PageLog log(*m_page);
        QVERIFY(loadAndWait(*m_page, openerCase.page));
        QTRY_COMPARE_WITH_TIMEOUT(requests, 1, LoadTimeoutMs);
        // The window is closed: the opener is the only page again.
        QCOMPARE(waitForPageCount(*m_browser, 1), 1);
        // The opener is still the page shown.
        QCOMPARE(log.count(QStringLiteral("top")), 1);
        const Result<DocumentMetrics> metrics = measure(*m_page);
        QVERIFY2(metrics, qPrintable(metrics.error()));
        QCOMPARE(metrics->scrollHeight, openerCase.height);
    }
    const QStringList requested = m_server->requestedPaths();
    QVERIFY(!requested.contains(QStringLiteral("/popup1.png")));
    QVERIFY(!requested.contains(QStringLiteral("/popup2.png")));
}

void ChromiumBrowserE2E::allowedNewWindowLeavesThePageAlone()
{
    m_server->addPage(QStringLiteral("/opener3.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0\">"
                      "<div style=\"height:1111px\"></div>"
                      "<script>window.addEventListener('load', () => "
                      "setTimeout(() => window.open('/popup3.html'), 0));</script>"
                      "</body></html>");
    m_server->addPage(QStringLiteral("/popup3.html"),
                      framePage("third popup <img src=\"/popup3.png\">"));
    // A browser of its own, which the window left open does not disturb.
    ChromiumBrowser browser;
    Page *page = browser.openPage();
    QSignalSpy windows(page, &Page::newWindowRequested);
    QVERIFY(loadAndWait(*page, QStringLiteral("/opener3.html")));
    QTRY_COMPARE_WITH_TIMEOUT(windows.count(), 1, LoadTimeoutMs);
    // The new window loads by itself; the program's page stays.
    QTRY_VERIFY_WITH_TIMEOUT(m_server->requestedPaths().contains(QStringLiteral("/popup3.png")),
                             LoadTimeoutMs);
    const Result<DocumentMetrics> metrics = measure(*page);
    QVERIFY2(metrics, qPrintable(metrics.error()));
    QCOMPARE(metrics->scrollHeight, 1111);
    QCOMPARE(pageCount(browser).value(), 2);
}

void ChromiumBrowserE2E::authenticationChallengesShowTheServersPage_data()
{
    // The shell cancels challenges by itself; the desktop Chromium would fail
    // the page or stall the frame, and its pages cancel them instead.
    QTest::addColumn<QString>("program");
    QTest::newRow("headless shell") << QStringLiteral("/usr/lib/chromium/chromium-headless-shell");
    QTest::newRow("desktop Chromium") << QStringLiteral("/usr/bin/chromium");
}

void ChromiumBrowserE2E::authenticationChallengesShowTheServersPage()
{
    QFETCH(QString, program);
    if (!QFileInfo(program).isExecutable())
        QSKIP(qPrintable(program + QStringLiteral(" is not installed")));
    ChromiumBrowserOptions options;
    options.executable = program;
    ChromiumBrowser browser(options);
    Page *page = browser.openPage();
    for (const QString &path :
         {QStringLiteral("/private.html"), QStringLiteral("/framed-private.html")}) {
        QVERIFY2(test::loadAndWait(*page, m_server->url(path).toString(), LoadTimeoutMs),
                 qPrintable(path));
        const Result<QImage> picture = paintPicture(*page, QRect(0, 0, 400, 300));
        QVERIFY2(picture, qPrintable(picture.error()));
        QCOMPARE(picture->pixelColor(100, 100), QColor(0, 0, 120));
        if (path.startsWith(QLatin1String("/framed")))
            QCOMPARE(picture->pixelColor(300, 250), QColor(0, 120, 0));
    }
}

void ChromiumBrowserE2E::twoPagesLoadAndPaintIndependently()
{
    m_server->addPage(QStringLiteral("/red.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0;background:#ff0000\">"
                      "<div style=\"height:1500px\"></div></body></html>");
    m_server->addPage(QStringLiteral("/green.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0;background:#00ff00\">"
                      "<div style=\"height:2500px\"></div></body></html>");
    std::unique_ptr<Page> other(m_browser->openPage());
    PageLog firstLog(*m_page);
    PageLog otherLog(*other);
    QVERIFY(m_page->setLayoutViewport(QSize(800, 600)));
    QVERIFY(other->setLayoutViewport(QSize(1000, 700)));
    // Both load at once.
    QVERIFY(m_page->navigate(m_server->url(QStringLiteral("/red.html")).toString()));
    QVERIFY(other->navigate(m_server->url(QStringLiteral("/green.html")).toString()));
    QTRY_COMPARE_WITH_TIMEOUT(firstLog.count(QStringLiteral("top")), 1, LoadTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(otherLog.count(QStringLiteral("top")), 1, LoadTimeoutMs);

    const Result<DocumentMetrics> first = measure(*m_page);
    const Result<DocumentMetrics> second = measure(*other);
    QVERIFY(first && second);
    QCOMPARE(first->clientWidth, 800);
    QCOMPARE(first->scrollHeight, 1500);
    QCOMPARE(second->clientWidth, 1000);
    QCOMPARE(second->scrollHeight, 2500);
    const Result<QImage> red = paintPicture(*m_page, QRect(0, 0, 800, 1500));
    const Result<QImage> green = paintPicture(*other, QRect(0, 0, 1000, 2500));
    QVERIFY(red && green);
    QCOMPARE(red->pixel(400, 1400), qRgb(255, 0, 0));
    QCOMPARE(green->pixel(500, 2400), qRgb(0, 255, 0));
    QCOMPARE(firstLog.count(QStringLiteral("top")), 1);
    QCOMPARE(otherLog.count(QStringLiteral("top")), 1);
    QCOMPARE(pageCount(*m_browser).value(), 2);
    // A page deleted closes its tab.
    other.reset();
    QCOMPARE(waitForPageCount(*m_browser, 1), 1);
}

void ChromiumBrowserE2E::aKilledRendererLosesOnlyItsPage()
{
    const qint64 chromium = m_browser->processId();
    QSignalSpy stopped(m_browser.get(), &Browser::stopped);
    // During a load that never ends: the page is lost, and never reports
    // the document as complete.
    {
        PageLog log(*m_page);
        const auto stalledRequests = [this] {
            return m_server->requestedPaths().count(QStringLiteral("/stalled.png"));
        };
        const qsizetype before = stalledRequests();
        QVERIFY(m_page->navigate(m_server->url(QStringLiteral("/loading.html")).toString()));
        QTRY_VERIFY_WITH_TIMEOUT(stalledRequests() > before && log.count("download") == 1,
                                 LoadTimeoutMs);
        QVERIFY(test::killRenderers(chromium) > 0);
        QTRY_VERIFY_WITH_TIMEOUT(log.lost(), LossReportedMs);
        QCOMPARE(log.lostKind, FailureKind::PageCrashed);
        QVERIFY(m_page->isLost());
        // Whatever Chromium still says about the page is not reported.
        QVERIFY(pageCount(*m_browser));
        QVERIFY2(!log.events().contains("top"), qPrintable(log.events().join(' ')));
        QCOMPARE(log.events().last(), QStringLiteral("lost The page's renderer crashed."));
        const Result<DocumentMetrics> after = measure(*m_page);
        QCOMPARE(after.error(), QStringLiteral("The page's renderer crashed."));
        QVERIFY(!m_page->navigate(m_server->url(QStringLiteral("/small.html")).toString()));
    }
    // While idle, on a fresh page, which first loads and paints.
    {
        std::unique_ptr<Page> page(m_browser->openPage());
        PageLog log(*page);
        QVERIFY(loadAndWait(*page, QStringLiteral("/small.html")));
        QVERIFY(paintPicture(*page, QRect(0, 0, 100, 100)));
        QVERIFY(test::killRenderers(chromium) > 0);
        QTRY_VERIFY_WITH_TIMEOUT(log.lost(), LossReportedMs);
        QCOMPARE(log.lostKind, FailureKind::PageCrashed);
        QCOMPARE(log.count(QStringLiteral("top")), 1);
    }
    // The browser itself carries on.
    std::unique_ptr<Page> fresh(m_browser->openPage());
    QVERIFY(loadAndWait(*fresh, QStringLiteral("/small.html")));
    QVERIFY(paintPicture(*fresh, QRect(0, 0, 100, 100)));
    QCOMPARE(m_browser->processId(), chromium);
    QCOMPARE(stopped.count(), 0);
}

void ChromiumBrowserE2E::aPageThatNeverYieldsIsLost()
{
    // A page whose script never yields once it has loaded.
    m_server->addPage(QStringLiteral("/hang.html"),
                      "<!DOCTYPE html><body>busy<script>window.addEventListener('load', () =>"
                      " setTimeout(() => { for (;;) {} }, 100));</script></body>");
    ChromiumBrowserOptions options;
    options.pageTimeouts.measure = 1500ms;
    ChromiumBrowser browser(options);
    QSignalSpy stopped(&browser, &Browser::stopped);
    Page *page = browser.openPage();
    PageLog log(*page);
    QVERIFY(loadAndWait(*page, QStringLiteral("/hang.html")));
    QTest::qWait(300);
    const qint64 chromium = browser.processId();

    const Result<DocumentMetrics> unanswered = measure(*page);
    QVERIFY(!unanswered);
    QCOMPARE(unanswered.kind(), FailureKind::Timeout);
    QCOMPARE(unanswered.error(), QStringLiteral("The page stopped responding."));
    QTRY_VERIFY(log.lost());
    QCOMPARE(log.lostKind, FailureKind::Timeout);
    // Its tab is closed; the browser stays.
    QCOMPARE(waitForPageCount(browser, 0), 0);
    QCOMPARE(browser.processId(), chromium);
    QCOMPARE(stopped.count(), 0);

    Page *fresh = browser.openPage();
    QVERIFY(loadAndWait(*fresh, QStringLiteral("/small.html")));
    QVERIFY(measure(*fresh));
}

void ChromiumBrowserE2E::aKilledOrHungBrowserIsReplaced()
{
    ChromiumBrowserOptions options;
    options.layoutViewport = QSize(900, 600);
    options.browserTimeout = 1500ms;
    ChromiumBrowser browser(options);
    QSignalSpy stopped(&browser, &Browser::stopped);

    // Killed with one page idle and one loading.
    Page *idle = browser.openPage();
    Page *loading = browser.openPage();
    PageLog idleLog(*idle);
    PageLog loadingLog(*loading);
    QVERIFY(loadAndWait(*idle, QStringLiteral("/small.html")));
    QVERIFY(loading->navigate(m_server->url(QStringLiteral("/loading.html")).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(loadingLog.count(QStringLiteral("download")) == 1, LoadTimeoutMs);
    const qint64 killed = browser.processId();
    const QString profile = browser.profilePath();
    QVERIFY(killed > 0);
    QVERIFY(QDir(profile).exists());
    QCOMPARE(::kill(static_cast<pid_t>(killed), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(idleLog.lost() && loadingLog.lost(), LossReportedMs);
    QCOMPARE(idleLog.lostKind, FailureKind::BrowserLost);
    QCOMPARE(loadingLog.lostKind, FailureKind::BrowserLost);
    QCOMPARE(loadingLog.events().last(), QStringLiteral("lost The browser stopped unexpectedly."));
    QVERIFY(!loadingLog.events().contains("top"));
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(stopped.at(0).at(0).value<Failure>().kind, FailureKind::BrowserLost);
    QCOMPARE(measure(*idle).kind(), FailureKind::BrowserLost);
    // Its profile is cleared without waiting on the caller.
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(profile).exists(), 5000);

    // The next page starts a fresh browser with a fresh profile.
    Page *fresh = browser.openPage();
    QVERIFY(loadAndWait(*fresh, QStringLiteral("/small.html")));
    const qint64 second = browser.processId();
    QVERIFY(second != killed);
    QVERIFY(browser.profilePath() != profile);
    const Result<DocumentMetrics> metrics = measure(*fresh);
    QVERIFY2(metrics, qPrintable(metrics.error()));
    QCOMPARE(metrics->clientWidth, 900);
    QCOMPARE(metrics->clientHeight, 600);

    // Hung: the browser process stops answering its own commands.
    PageLog freshLog(*fresh);
    QCOMPARE(::kill(static_cast<pid_t>(second), SIGSTOP), 0);
    const Result<int> unanswered = pageCount(browser);
    QVERIFY(!unanswered);
    QCOMPARE(unanswered.kind(), FailureKind::Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(freshLog.lost(), LossReportedMs);
    QCOMPARE(freshLog.lostKind, FailureKind::BrowserLost);
    QCOMPARE(stopped.count(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(second), 5000);
    Page *replaced = browser.openPage();
    QVERIFY(loadAndWait(*replaced, QStringLiteral("/small.html")));
    QVERIFY(browser.processId() != second);
}

void ChromiumBrowserE2E::listensNowhereAndKeepsItsProfilePrivate()
{
    QVERIFY(loadAndWait(*m_page, QStringLiteral("/frames.html")));
    const qint64 chromium = m_browser->processId();
    QList<qint64> tree = test::descendantsWith(chromium, QString());
    tree << chromium;
    QVERIFY(tree.size() > 1);
    int sockets = 0;
    for (const qint64 pid : std::as_const(tree)) {
        // The sockets the process holds: its fds link to "socket:[inode]".
        QSet<QByteArray> held;
        QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString name = QFileInfo(fd.symLinkTarget()).fileName();
            if (name.startsWith(QLatin1String("socket:[")))
                held << name.mid(8, name.size() - 9).toLatin1();
        }
        sockets += int(held.size());
        // Listening, as seen from the process's own network: TCP in state
        // 0A; a Unix socket flagged 00010000 that still has a name in the
        // file system (Chromium's process singleton keeps one whose name
        // the browser removed, which nothing can connect to).
        const auto rows = [pid](const char *table) {
            QFile file(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(table)));
            QList<QList<QByteArray>> rows;
            if (file.open(QIODevice::ReadOnly)) {
                file.readLine();
                while (!file.atEnd())
                    rows << file.readLine().simplified().split(' ');
            }
            return rows;
        };
        QStringList listening;
        for (const char *table : {"tcp", "tcp6"})
            for (const QList<QByteArray> &row : rows(table))
                if (row.size() > 9 && row.at(3) == "0A" && held.contains(row.at(9)))
                    listening << QString::fromLatin1(row.at(1));
        for (const QList<QByteArray> &row : rows("unix"))
            if (row.size() > 7 && (row.at(3).toUInt(nullptr, 16) & 0x10000) &&
                held.contains(row.at(6)) && QFileInfo::exists(QString::fromLocal8Bit(row.at(7))))
                listening << QString::fromLocal8Bit(row.at(7));
        QVERIFY2(listening.isEmpty(), qPrintable(QStringLiteral("process %1 listens on %2")
                                                     .arg(pid)
                                                     .arg(listening.join(QLatin1String(", ")))));
    }
    QVERIFY(sockets > 0); // the sockets were seen at all

    struct stat profile;
    QCOMPARE(::stat(QFile::encodeName(m_browser->profilePath()).constData(), &profile), 0);
    QCOMPARE(profile.st_mode & 0777, 0700u);
}

void ChromiumBrowserE2E::leavesNothingBehindWhenDestroyed()
{
    auto browser = std::make_unique<ChromiumBrowser>();
    QVERIFY(loadAndWait(*browser->openPage(), QStringLiteral("/frames.html")));
    const qint64 pid = browser->processId();
    const QString profile = browser->profilePath();
    QVERIFY(!processGroupMembers(pid).isEmpty());
    QVERIFY(QDir(profile).exists());

    browser.reset();
    QVERIFY(!QDir(profile).exists());
    QVERIFY(!processAlive(pid));
    // Chromium's helpers go with it.
    QTRY_VERIFY_WITH_TIMEOUT(processGroupMembers(pid).isEmpty(), 5000);
}

void ChromiumBrowserE2E::diesWithTheProgramAndItsProfileIsClearedLater()
{
    // A copy of this program that starts a browser, says which, and waits
    // to be killed.
    QProcess program;
    program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-browser")});
    QVERIFY(program.waitForStarted());
    QVERIFY(program.waitForReadyRead(LoadTimeoutMs));
    const QStringList held = QString::fromUtf8(program.readLine()).trimmed().split(' ');
    QCOMPARE(held.size(), 2);
    const qint64 chromium = held.at(0).toLongLong();
    const QString profile = held.at(1);
    QVERIFY(processAlive(chromium));
    QVERIFY(QDir(profile).exists());

    program.kill();
    QVERIFY(program.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(chromium), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(processGroupMembers(chromium).isEmpty(), 5000);
    // Its profile was left behind; the next browser started clears it.
    QVERIFY(QDir(profile).exists());
    ChromiumBrowser next;
    QVERIFY(!QDir(profile).exists());
}

// With --hold-browser, starts a browser, prints its process id and profile
// folder once it answers, and waits to be killed; otherwise runs the tests.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--hold-browser") {
        ChromiumBrowser browser;
        if (!test::waitFor<int>([&browser](auto done) { browser.countPages(done); }))
            return 1;
        std::printf("%lld %s\n", static_cast<long long>(browser.processId()),
                    qPrintable(browser.profilePath()));
        std::fflush(stdout);
        return app.exec();
    }
    ChromiumBrowserE2E tests;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tests, argc, argv);
}
#include "chromiumbrowser_e2e.moc"
