// The whole program against the real headless Chromium and pages served on
// 127.0.0.1: captures by hand and by themselves, a window that keeps
// responding during long captures, hung pages and dead browsers, and captures
// that fail or are cancelled without losing the earlier one.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/scripteduiservices.h"
#include "platform/cdp/chromiumbrowser.h"
#include "support/eventloopgap.h"
#include "support/pageserver.h"
#include "support/processtree.h"
#include "support/stripedpage.h"

#include <QAction>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>

using namespace snapvel;
using namespace snapvel::test;

namespace {

const QString kCaption = QStringLiteral("Tarvex Snapvel");
const ScriptedUiServices::Box kDone = ScriptedUiServices::doneBox();

// The window on the real browser, with the start-up prompt left to the test.
struct Window
{
    explicit Window(ChromiumBrowserOptions options = {}) : browser(options)
    {
        form.Timer1->stop();
        form.show();
    }

    // Answers the address prompt with `address` (armed: it is captured when
    // it completes).
    void open(const QString &address)
    {
        ui.inputAnswers.enqueue(address);
        form.mnuOpen_Click();
    }
    // Waits until `count` boxes have been shown.
    bool boxesShown(qsizetype count, int timeoutMs = 60000)
    {
        return QTest::qWaitFor([&] { return ui.boxes.size() >= count; }, timeoutMs);
    }
    bool failedSaying(const QString &start) const
    {
        const ScriptedUiServices::Box box = ui.boxes.value(ui.boxes.size() - 1);
        return box.prompt.startsWith(QStringLiteral("Capture failed: ") + start) &&
               box.style == 48 && box.title == kCaption;
    }
    void killRenderers() { QVERIFY(test::killRenderers(browser.processId()) > 0); }

    ChromiumBrowser browser;
    ScriptedUiServices ui;
    frmMain form{browser, ui, [] {}};
};

} // namespace

class TestWindowE2e : public QObject
{
    Q_OBJECT

private slots:
    void captureByHandThenWithTheBrowserDead();
    void promptedPageIsCapturedOnceByItself();
    void tallCaptureKeepsTheWindowResponsiveAndCanBeCancelled();
    void rendererKilledDuringLoadOrPaintFailsOnce();
    void hungPageAndDeadBrowserNeverFreezeTheWindow();
};

void TestWindowE2e::captureByHandThenWithTheBrowserDead()
{
    PageServer server;
    const int pageWidth = 1000, pageHeight = 6000;
    server.addPage("/striped.html", stripedPageHtml(pageWidth, pageHeight));
    Window w;

    w.open(server.url("/striped.html").toString());
    QVERIFY(w.boxesShown(1));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
    // And again by hand, the same.
    w.form.Command1_Click();
    QVERIFY(w.boxesShown(2));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
    QCOMPARE(w.form.Picture1->size(), QSize(pageWidth + 20, pageHeight));
    const QImage capture = w.form.capture();
    QCOMPARE(capture.size(), w.form.Picture1->size());
    // The document's pixels, top to bottom (the 20-pixel margin lies beyond).
    QCOMPARE(checkStripes(capture.copy(0, 0, pageWidth, pageHeight), pageWidth, pageHeight), -1);
    QCOMPARE(w.form.WebBrowser1->placement(), w.form.saved());
    QVERIFY(w.form.mnuSave->isEnabled());

    // Chromium dies while idle: the next capture fails at once with a clear
    // message and the earlier capture stays shown and saveable.
    QCOMPARE(::kill(pid_t(w.browser.processId()), SIGKILL), 0);
    QTest::qWait(300);
    QElapsedTimer clock;
    clock.start();
    w.form.Command1_Click();
    QVERIFY(w.boxesShown(3, 2000));
    QVERIFY2(w.failedSaying({}), qPrintable(w.ui.boxes.constLast().prompt));
    QVERIFY(clock.elapsed() < 2000);
    QCOMPARE(w.form.capture(), capture);
    QVERIFY(w.form.Picture1->isVisible());
    QCOMPARE(w.form.windowTitle(), kCaption);

    // The next address loads in a fresh browser and is captured.
    w.open(server.url("/striped.html").toString());
    QVERIFY(w.boxesShown(4));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
    QCOMPARE(
        checkStripes(w.form.capture().copy(0, 0, pageWidth, pageHeight), pageWidth, pageHeight),
        -1);
}

void TestWindowE2e::tallCaptureKeepsTheWindowResponsiveAndCanBeCancelled()
{
    PageServer server;
    const int pageWidth = 1260, pageHeight = 100000;
    server.addPage("/tall.html", stripedPageHtml(pageWidth, pageHeight));
    server.addPage("/small.html", stripedPageHtml(300, 400));
    Window w;
    w.open(server.url("/small.html").toString());
    QVERIFY(w.boxesShown(1));
    const QImage small = w.form.capture();

    // The whole capture of a 100,000 px page, with the event loop watched.
    w.ui.inputAnswers.enqueue(server.url("/tall.html").toString());
    w.form.mnuOpen_Click();
    EventLoopGap gap;
    QVERIFY(w.boxesShown(2, 120000));
    QVERIFY2(gap.respondedWithin(200, 1000), qPrintable(gap.describe()));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
    QCOMPARE(
        checkStripes(w.form.capture().copy(0, 0, pageWidth, pageHeight), pageWidth, pageHeight),
        -1);

    // Cancelled while it paints: over within a second, the earlier capture
    // kept, nothing said, and the browser still works.
    w.form.Picture1->setImage(small);
    w.form.Command1_Click();
    QVERIFY(QTest::qWaitFor([&] { return w.form.progressBar->maximum() > 0; }, 10000));
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(&w.form, Qt::Key_Escape);
    QVERIFY(QTest::qWaitFor([&] { return !w.form.isCapturing(); }, 1000));
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(w.form.capture(), small);
    QCOMPARE(w.ui.boxes.size(), 2);
    QCOMPARE(w.form.windowTitle(), kCaption);
    w.open(server.url("/small.html").toString());
    QVERIFY(w.boxesShown(3));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
}

void TestWindowE2e::rendererKilledDuringLoadOrPaintFailsOnce()
{
    PageServer server;
    // A page whose load never ends: its image is never answered.
    server.addPage("/loading.html", "<!DOCTYPE html><body><img src='/never.png'></body>");
    server.addStalled("/never.png");
    server.addPage("/tall.html", stripedPageHtml(1000, 60000));
    Window w;

    w.open(server.url("/loading.html").toString());
    QVERIFY(QTest::qWaitFor([&] { return w.form.windowTitle() != kCaption; }, 30000));
    QVERIFY(w.form.AutoSnapFlag);
    QElapsedTimer clock;
    clock.start();
    w.killRenderers();
    QVERIFY(w.boxesShown(1, 2000));
    QVERIFY2(w.failedSaying({}), qPrintable(w.ui.boxes.constLast().prompt));
    QCOMPARE(w.form.windowTitle(), kCaption);
    QVERIFY(!w.form.AutoSnapFlag);
    QTest::qWait(300);
    QCOMPARE(w.ui.boxes.size(), 1); // one failure, no capture of a dead page

    // The next address loads in a fresh page and is captured.
    w.open(server.url("/tall.html").toString());
    QVERIFY(w.boxesShown(2));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
    const QImage capture = w.form.capture();

    // The renderer dies while the page is painted.
    w.form.Command1_Click();
    QTest::qWait(300);
    QVERIFY(w.form.isCapturing());
    clock.restart();
    w.killRenderers();
    QVERIFY(w.boxesShown(3, 2000));
    QVERIFY2(w.failedSaying({}), qPrintable(w.ui.boxes.constLast().prompt));
    QCOMPARE(w.form.capture(), capture);
    w.open(server.url("/tall.html").toString());
    QVERIFY(w.boxesShown(4));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
}

void TestWindowE2e::hungPageAndDeadBrowserNeverFreezeTheWindow()
{
    PageServer server;
    server.addPage("/hangs.html",
                   "<!DOCTYPE html><body style='height:3000px'>"
                   "<script>onload = () => setTimeout(() => { while (true) {} }, 50);"
                   "</script></body>");
    server.addPage("/fine.html", stripedPageHtml(500, 2000));
    ChromiumBrowserOptions options;
    options.pageTimeouts.measure = std::chrono::seconds(3);
    Window w(options);
    EventLoopGap gap;

    // Loaded, then its script never yields: the capture times out.
    w.open(server.url("/hangs.html").toString());
    QVERIFY(w.boxesShown(1, 30000));
    QVERIFY2(w.failedSaying({}), qPrintable(w.ui.boxes.constLast().prompt));
    QCOMPARE(w.form.windowTitle(), kCaption);
    w.open(server.url("/fine.html").toString());
    QVERIFY(w.boxesShown(2, 30000));
    QCOMPARE(w.ui.boxes.constLast(), kDone);

    // Chromium dies; once the window knows, the next address starts a
    // fresh one.
    QCOMPARE(::kill(pid_t(w.browser.processId()), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(w.form.WebBrowser1->isLost(), 5000);
    w.open(server.url("/fine.html").toString());
    QVERIFY(w.boxesShown(3, 30000));
    QCOMPARE(w.ui.boxes.constLast(), kDone);
    QVERIFY2(gap.respondedWithin(200, 1000), qPrintable(gap.describe()));
}

void TestWindowE2e::promptedPageIsCapturedOnceByItself()
{
    PageServer server;
    // A tall blue page with two framed pages far down, which opens a pop-up
    // as soon as it has loaded.
    server.addPage("/page.html", R"(<!DOCTYPE html>
<html><head><style>
  body { margin: 0; background: rgb(20, 110, 200); }
  iframe { display: block; width: 400px; height: 300px; border: 0; }
</style></head><body>
<div style="height: 2500px"></div>
<iframe src="/frame-a.html"></iframe>
<iframe src="/frame-b.html"></iframe>
<div style="height: 500px"></div>
<script>window.addEventListener('load', () => window.open('/popup.html'));</script>
</body></html>)");
    server.addPage("/frame-a.html",
                   "<!DOCTYPE html><body style='margin:0;background:rgb(240,200,20)'></body>");
    server.addPage("/frame-b.html",
                   "<!DOCTYPE html><body style='margin:0;background:rgb(30,180,60)'></body>");
    server.addPage("/popup.html", "<!DOCTYPE html><body><img src='/popup.png'></body>");
    server.addPage("/popup.png", QByteArray(), "image/png");

    ChromiumBrowser browser;
    ScriptedUiServices ui;
    ui.inputAnswers.enqueue(server.url("/page.html").toString());
    frmMain form(browser, ui, [] {});
    form.show();
    QSignalSpy titles(&form, &QWidget::windowTitleChanged);

    // The prompt opens after a second; the page loads and is captured.
    QTRY_COMPARE_WITH_TIMEOUT(ui.boxes.size(), 1, 60000);
    QCOMPARE(ui.boxes[0], kDone);
    QCOMPARE(ui.inputs.size(), 1);
    // Nothing more comes: one capture only.
    QTest::qWait(1500);
    QCOMPARE(ui.boxes.size(), 1);

    QCOMPARE(form.windowTitle(), kCaption);
    QCOMPARE(form.AutoSnapFlag, false);
    QVERIFY(titles.contains(QList<QVariant>{QStringLiteral("Tarvex Snapvel - Loading Page...")}));

    // The picture holds the page with both frames painted: it was taken
    // after the top-level document had completed.
    const QImage capture = form.capture();
    QCOMPARE(capture.height(), 2500 + 300 + 300 + 500);
    QCOMPARE(QColor(capture.pixel(100, 100)), QColor(20, 110, 200));
    QCOMPARE(QColor(capture.pixel(200, 2500 + 150)), QColor(240, 200, 20));
    QCOMPARE(QColor(capture.pixel(200, 2800 + 150)), QColor(30, 180, 60));
    QCOMPARE(QColor(capture.pixel(100, capture.height() - 10)), QColor(20, 110, 200));

    // The pop-up was refused: its document never loaded (its request may
    // have left before the window was closed, but nothing it names is
    // fetched), and no second page remains.
    QTest::qWait(500);
    QVERIFY(!server.requestedPaths().contains("/popup.png"));
    int pages = -1;
    browser.countPages([&](Result<int> counted) { pages = counted.ok() ? counted.value() : -2; });
    QVERIFY(QTest::qWaitFor([&] { return pages != -1; }, 10000));
    QCOMPARE(pages, 1);
}

QTEST_MAIN(TestWindowE2e)
#include "tst_window_e2e.moc"
