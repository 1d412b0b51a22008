// End-to-end tests of the Chromium browser: a real headless Chromium loads
// pages served by the test's own HTTP server.

#include "platform/cdp/chromiumbrowser.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/stripedpage.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <memory>

using namespace snapvel;
using snapvel::test::PageServer;

namespace {

constexpr int LoadTimeoutMs = 20000;

// What a browser emitted, in order: "download", "frame" or "top".
class EventLog
{
public:
    explicit EventLog(Browser &browser)
    {
        QObject::connect(&browser, &Browser::downloadComplete, &m_context,
                         [this] { m_events << QStringLiteral("download"); });
        QObject::connect(&browser, &Browser::documentComplete, &m_context, [this](bool topLevel) {
            m_events << (topLevel ? QStringLiteral("top") : QStringLiteral("frame"));
        });
    }
    QStringList events() const { return m_events; }
    int count(const QString &event) const { return m_events.count(event); }
    void clear() { m_events.clear(); }

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

QByteArray framePage(const QByteArray &text)
{
    return "<!DOCTYPE html><html><body><p>" + text + "</p></body></html>";
}

} // namespace

class ChromiumBrowserE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void noEventsBeforeFirstNavigate();
    void refusesJavascriptAddresses();
    void framesCompleteBeforeTheTopLevelDocument();
    void failedNavigationStillEndsTheDownload();
    void measuresTheScrollingElement();
    void measuringADocumentWithoutBodyFails();
    void paintsATallPageRowByRow();
    void refusesNewWindows();
    void allowedNewWindowLeavesThePageAlone();
    void recoversFromAKilledBrowser();
    void replacesAHungBrowser();
    void leavesNothingBehindWhenDestroyed();
    void diesWithTheProgramAndItsProfileIsClearedLater();
    void paintingDoesNotEnlargeTheLayoutViewport();
    void cleanupTestCase();

private:
    // Navigates to a page of the test server and waits for its top-level
    // completion.
    bool loadAndWait(Browser &browser, const QString &path);

    std::unique_ptr<PageServer> m_server;
    std::unique_ptr<ChromiumBrowser> m_browser;
};

void ChromiumBrowserE2E::initTestCase()
{
    m_server = std::make_unique<PageServer>();
    m_server->addPage(QStringLiteral("/small.html"), framePage("small"));
    m_server->addPage(QStringLiteral("/frame1.html"), framePage("first frame"));
    m_server->addPage(QStringLiteral("/frame2.html"), framePage("second frame"));
    m_server->addPage(QStringLiteral("/frames.html"),
                      "<!DOCTYPE html><html><body><h1>Two frames</h1>"
                      "<iframe src=\"/frame1.html\"></iframe>"
                      "<iframe src=\"/frame2.html\"></iframe></body></html>");
    m_browser = std::make_unique<ChromiumBrowser>();
}

void ChromiumBrowserE2E::cleanupTestCase()
{
    m_browser.reset();
    m_server.reset();
}

bool ChromiumBrowserE2E::loadAndWait(Browser &browser, const QString &path)
{
    return test::loadAndWait(browser, m_server->url(path).toString(), LoadTimeoutMs);
}

void ChromiumBrowserE2E::noEventsBeforeFirstNavigate()
{
    EventLog log(*m_browser);
    QSignalSpy windows(m_browser.get(), &Browser::newWindowRequested);
    QVERIFY(!m_browser->hasDocument());
    const Result<DocumentMetrics> metrics = m_browser->measureDocument();
    QVERIFY(!metrics);
    QCOMPARE(metrics.error(), QStringLiteral("No page has been loaded yet."));
    QVERIFY(!m_browser->paint());
    QVERIFY(!m_browser->hideScrollbars());
    // Kept until Chromium is attached to, then applied (measured below).
    QVERIFY(m_browser->setLayoutViewport(QSize(1100, 700)));
    // Let Chromium start and load its blank start page, with the event loop
    // running meanwhile.
    const Result<int> pages = m_browser->pageCount();
    QVERIFY2(pages, qPrintable(pages.error()));
    QTest::qWait(1500);
    QCOMPARE(log.events(), QStringList());
    QCOMPARE(windows.count(), 0);
    QVERIFY(!m_browser->hasDocument());
}

void ChromiumBrowserE2E::refusesJavascriptAddresses()
{
    EventLog log(*m_browser);
    for (const QString &address :
         {QStringLiteral("javascript:alert(1)"), QStringLiteral("  JavaScript:void(0)"),
          QStringLiteral("JAVASCRIPT:location='http://127.0.0.1/'")}) {
        const Status status = m_browser->navigate(address);
        QVERIFY2(!status, qPrintable(address));
        QVERIFY(status.error().contains(QLatin1String("javascript:")));
    }
    QTest::qWait(500);
    QVERIFY(!m_browser->hasDocument());
    QCOMPARE(log.events(), QStringList());
}

void ChromiumBrowserE2E::framesCompleteBeforeTheTopLevelDocument()
{
    EventLog log(*m_browser);
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/frames.html")));
    QVERIFY(m_browser->hasDocument());
    // Anything late would show up now.
    QTest::qWait(1000);
    const QStringList events = log.events();
    QVERIFY2(events.contains(QStringLiteral("download")), qPrintable(events.join(' ')));
    QCOMPARE(log.count(QStringLiteral("top")), 1);
    const qsizetype top = events.indexOf(QStringLiteral("top"));
    QVERIFY2(events.mid(0, top).count(QStringLiteral("frame")) >= 2, qPrintable(events.join(' ')));
    QVERIFY(m_server->requestedPaths().contains(QStringLiteral("/frame2.html")));
    // Laid out in the viewport set before Chromium was ready.
    const Result<DocumentMetrics> metrics = m_browser->measureDocument();
    QVERIFY2(metrics, qPrintable(metrics.error()));
    QCOMPARE(metrics->clientWidth, 1100);
    QCOMPARE(metrics->clientHeight, 700);
}

void ChromiumBrowserE2E::failedNavigationStillEndsTheDownload()
{
    EventLog log(*m_browser);
    // A port that was free a moment ago: the connection is refused.
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    QVERIFY(m_browser->navigate(QStringLiteral("http://127.0.0.1:%1/nothing.html").arg(port)));
    QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("download")) >= 1, LoadTimeoutMs);
    // Chromium's error page loads in its place and completes the page, once.
    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("top")), 1, LoadTimeoutMs);
    QTest::qWait(1000);
    QCOMPARE(log.count(QStringLiteral("top")), 1);
    QVERIFY(m_browser->hasDocument());
}

void ChromiumBrowserE2E::measuresTheScrollingElement()
{
    m_server->addPage(QStringLiteral("/measure.html"),
                      "<!DOCTYPE html><html><head><style>"
                      "body{margin:20px}"
                      "#flow{height:300px}"
                      "#far{position:absolute;left:2000px;top:3000px;width:100px;height:100px}"
                      "</style></head><body><div id=flow></div><div id=far></div></body></html>");
    QVERIFY(m_browser->setLayoutViewport(QSize(1000, 700)));
    QCOMPARE(m_browser->layoutViewport(), QSize(1000, 700));
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/measure.html")));
    // No room is kept for scroll bars, before hiding them as after: the page
    // is measured (and painted) at its own width.
    const Result<DocumentMetrics> unhidden = m_browser->measureDocument();
    QVERIFY2(unhidden, qPrintable(unhidden.error()));
    QCOMPARE(unhidden->clientWidth, 1000);
    QCOMPARE(unhidden->clientHeight, 700);

    QVERIFY(m_browser->hideScrollbars());
    const Result<DocumentMetrics> metrics = m_browser->measureDocument();
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
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/quirks.html")));
    const Result<DocumentMetrics> quirks = m_browser->measureDocument();
    QVERIFY2(quirks, qPrintable(quirks.error()));
    QCOMPARE(quirks->scrollHeight, 2020);
    QCOMPARE(quirks->offsetHeight, 700);
    QCOMPARE(quirks->clientHeight, 700);
    QVERIFY(m_browser->setLayoutViewport(QSize(1280, 800)));
}

void ChromiumBrowserE2E::measuringADocumentWithoutBodyFails()
{
    m_server->addPage(QStringLiteral("/picture.svg"),
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"200\" height=\"100\">"
                      "<rect width=\"200\" height=\"100\" fill=\"red\"/></svg>",
                      "image/svg+xml");
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/picture.svg")));
    const Result<DocumentMetrics> metrics = m_browser->measureDocument();
    QVERIFY(!metrics);
    QVERIFY(!metrics.error().isEmpty());
}

void ChromiumBrowserE2E::paintsATallPageRowByRow()
{
    const int width = 1280;
    const int height = 20000;
    m_server->addPage(QStringLiteral("/tall.html"), test::stripedPageHtml(width, height));
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/tall.html")));
    QVERIFY(m_browser->hideScrollbars());

    QVERIFY(m_browser->setPlacement(Placement{0, 0, 0, height}));
    const Result<QImage> nothing = m_browser->paint();
    QVERIFY(!nothing);
    QCOMPARE(nothing.error(), QStringLiteral("The page has nothing to paint."));
    QVERIFY(!m_browser->setPlacement(Placement{0, 0, -1, 10}));

    QVERIFY(m_browser->setPlacement(Placement{5, 7, width, height}));
    QCOMPARE(m_browser->placement(), (Placement{5, 7, width, height}));
    // Setting the placement leaves the layout viewport as it was.
    QCOMPARE(m_browser->layoutViewport(), QSize(1280, 800));
    const Result<QImage> painted = m_browser->paint();
    QVERIFY2(painted, qPrintable(painted.error()));
    QCOMPARE(painted->format(), QImage::Format_RGB32);
    QCOMPARE(test::checkStripes(painted.value(), width, height, 10), -1);
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
    connect(m_browser.get(), &Browser::newWindowRequested, &context, [&requests](bool *cancel) {
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
        EventLog log(*m_browser);
        QVERIFY(loadAndWait(*m_browser, openerCase.page));
        QTRY_COMPARE_WITH_TIMEOUT(requests, 1, LoadTimeoutMs);
        QTest::qWait(500);
        const Result<int> pages = m_browser->pageCount();
        QVERIFY2(pages, qPrintable(pages.error()));
        QCOMPARE(pages.value(), 1);
        // The opener is still the page shown.
        QCOMPARE(log.count(QStringLiteral("top")), 1);
        const Result<DocumentMetrics> metrics = m_browser->measureDocument();
        QVERIFY2(metrics, qPrintable(metrics.error()));
        QCOMPARE(metrics->scrollHeight, openerCase.height);
    }
    QTest::qWait(500);
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
    QSignalSpy windows(m_browser.get(), &Browser::newWindowRequested);
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/opener3.html")));
    QTRY_COMPARE_WITH_TIMEOUT(windows.count(), 1, LoadTimeoutMs);
    // The new window loads by itself; the program's page stays.
    QTRY_VERIFY_WITH_TIMEOUT(m_server->requestedPaths().contains(QStringLiteral("/popup3.png")),
                             LoadTimeoutMs);
    const Result<DocumentMetrics> metrics = m_browser->measureDocument();
    QVERIFY2(metrics, qPrintable(metrics.error()));
    QCOMPARE(metrics->scrollHeight, 1111);
}

void ChromiumBrowserE2E::recoversFromAKilledBrowser()
{
    QVERIFY(m_browser->setLayoutViewport(QSize(900, 600)));
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/small.html")));
    const qint64 pid = m_browser->processId();
    const QString profile = m_browser->profilePath();
    QVERIFY(pid > 0);
    QVERIFY(QDir(profile).exists());

    QCOMPARE(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    // Without running the event loop, so that only the call can notice.
    for (int i = 0; i < 200 && processAlive(pid); ++i)
        QTest::qSleep(25);
    QVERIFY(!processAlive(pid));

    const Result<DocumentMetrics> lost = m_browser->measureDocument();
    QVERIFY(!lost);
    QCOMPARE(lost.error(), QStringLiteral("The browser stopped unexpectedly."));

    // The next use starts a fresh browser with a fresh profile, laid out as
    // the program asked before.
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/small.html")));
    QVERIFY(m_browser->processId() != pid);
    QVERIFY(m_browser->profilePath() != profile);
    QVERIFY(!QDir(profile).exists());
    const Result<DocumentMetrics> metrics = m_browser->measureDocument();
    QVERIFY2(metrics, qPrintable(metrics.error()));
    QCOMPARE(metrics->clientWidth, 900);
    QCOMPARE(metrics->clientHeight, 600);
}

void ChromiumBrowserE2E::replacesAHungBrowser()
{
    // A page whose script never yields once it has loaded.
    m_server->addPage(QStringLiteral("/hang.html"),
                      "<!DOCTYPE html><body>busy<script>window.addEventListener('load', () =>"
                      " setTimeout(() => { for (;;) {} }, 100));</script></body>");
    ChromiumBrowserOptions options;
    options.callTimeout = std::chrono::milliseconds(3000);
    ChromiumBrowser browser(options);
    QVERIFY(loadAndWait(browser, QStringLiteral("/hang.html")));
    QTest::qWait(300);
    const qint64 pid = browser.processId();

    const Result<DocumentMetrics> unanswered = browser.measureDocument();
    QVERIFY(!unanswered);
    QVERIFY2(unanswered.error().contains(QStringLiteral("did not answer")),
             qPrintable(unanswered.error()));

    // The next use does not wait on the hung browser again: it is replaced.
    const Result<DocumentMetrics> replaced = browser.measureDocument();
    QVERIFY(!replaced);
    QCOMPARE(replaced.error(), QStringLiteral("The browser stopped responding and was restarted."));
    QVERIFY(!processAlive(pid));
    QVERIFY(loadAndWait(browser, QStringLiteral("/small.html")));
    QVERIFY(browser.processId() != pid);
    QVERIFY(browser.measureDocument());
}

void ChromiumBrowserE2E::leavesNothingBehindWhenDestroyed()
{
    auto browser = std::make_unique<ChromiumBrowser>();
    QVERIFY(loadAndWait(*browser, QStringLiteral("/frames.html")));
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

void ChromiumBrowserE2E::paintingDoesNotEnlargeTheLayoutViewport()
{
    // A screen-high red block above 2,000 px of blue: painted at its full
    // height, the red block keeps the viewport's height.
    m_server->addPage(QStringLiteral("/screen.html"),
                      "<!DOCTYPE html><html><body style=\"margin:0\">"
                      "<div style=\"height:100vh;background:#ff0000\"></div>"
                      "<div style=\"height:2000px;background:#0000ff\"></div></body></html>");
    QVERIFY(m_browser->setLayoutViewport(QSize(1280, 800)));
    QVERIFY(loadAndWait(*m_browser, QStringLiteral("/screen.html")));
    QVERIFY(m_browser->hideScrollbars());
    const Result<DocumentMetrics> before = m_browser->measureDocument();
    QVERIFY2(before, qPrintable(before.error()));
    QCOMPARE(before->scrollHeight, 2800);
    QVERIFY(m_browser->setPlacement(Placement{0, 0, 1280, 2800}));
    const Result<QImage> painted = m_browser->paint();
    QVERIFY2(painted, qPrintable(painted.error()));
    QCOMPARE(painted->pixel(640, 799), qRgb(255, 0, 0));
    QCOMPARE(painted->pixel(640, 800), qRgb(0, 0, 255));
    QCOMPARE(painted->pixel(640, 2799), qRgb(0, 0, 255));
    const Result<DocumentMetrics> after = m_browser->measureDocument();
    QVERIFY2(after, qPrintable(after.error()));
    QCOMPARE(after->scrollHeight, 2800);
    QCOMPARE(m_browser->layoutViewport(), QSize(1280, 800));
}

// With --hold-browser, starts a browser, prints its process id and profile
// folder, and waits to be killed; otherwise runs the tests.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--hold-browser") {
        ChromiumBrowser browser;
        const Result<int> pages = browser.pageCount(); // waits until it is ready
        if (!pages)
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
