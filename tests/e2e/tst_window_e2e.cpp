// The whole program against the real headless Chromium and pages served on
// 127.0.0.1: the capture by hand, and a prompted page captured by itself.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/scripteduiservices.h"
#include "platform/cdp/chromiumbrowser.h"
#include "snapshot/pagesize.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/stripedpage.h"

#include <QAction>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>

using namespace snapvel;
using namespace snapvel::test;

namespace {

const QString kCaption = QStringLiteral("Tarvex Snapvel");
const ScriptedUiServices::Box kDone{"Done.", 0, "Done."};

} // namespace

class TestWindowE2e : public QObject
{
    Q_OBJECT

private slots:
    void captureByHandThenWithTheBrowserDead();
    void promptedPageIsCapturedOnceByItself();
};

void TestWindowE2e::captureByHandThenWithTheBrowserDead()
{
    PageServer server;
    const int pageWidth = 1000, pageHeight = 6000;
    server.addPage("/striped.html", stripedPageHtml(pageWidth, pageHeight));

    ChromiumBrowser browser;
    ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});
    form.Timer1->stop();
    form.show();

    QVERIFY(loadAndWait(browser, server.url("/striped.html").toString()));
    const auto metrics = browser.measureDocument();
    QVERIFY2(metrics.ok(), qPrintable(metrics.error()));
    const PageSize page = pageSizeFrom(metrics.value());

    form.Command1_Click();

    QCOMPARE(ui.boxes, QList<ScriptedUiServices::Box>{kDone});
    QCOMPARE(form.Picture1->size(), QSize(int(page.width), int(page.height)));
    QCOMPARE(page.width, qint64(pageWidth + 20));
    QCOMPARE(page.height, qint64(pageHeight));
    const QImage capture = form.capture();
    QCOMPARE(capture.size(), form.Picture1->size());
    // The document's pixels, top to bottom (the 20-pixel margin lies beyond).
    QCOMPARE(checkStripes(capture.copy(0, 0, pageWidth, pageHeight), pageWidth, pageHeight), -1);
    for (int row : {0, pageHeight / 20, pageHeight / 10 - 1})
        QCOMPARE(capture.pixel(pageWidth / 2, row * 10 + 5), stripeColour(row));
    QCOMPARE(browser.placement(), form.saved());
    QVERIFY(form.mnuSave->isEnabled());

    // Chromium dies: the capture fails with a clear message and the earlier
    // capture stays shown and saveable.
    QCOMPARE(::kill(pid_t(browser.processId()), SIGKILL), 0);
    QTest::qWait(200);
    form.Command1_Click();
    QCOMPARE(ui.boxes.size(), 2);
    const auto failed = ui.boxes.constLast();
    QVERIFY2(failed.prompt.startsWith("Capture failed: ") && failed.prompt.size() > 17,
             qPrintable(failed.prompt));
    QCOMPARE(failed.style, 48);
    QCOMPARE(failed.title, kCaption);
    QCOMPARE(form.capture(), capture);
    QVERIFY(form.Picture1->isVisible());
    QCOMPARE(browser.placement(), form.saved());
    QCOMPARE(form.windowTitle(), kCaption);
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
    const auto pages = browser.pageCount();
    QVERIFY2(pages.ok(), qPrintable(pages.error()));
    QCOMPARE(pages.value(), 1);
}

QTEST_MAIN(TestWindowE2e)
#include "tst_window_e2e.moc"
