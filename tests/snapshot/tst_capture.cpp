// The capture sequence with a fake browser: page size, browser geometry,
// scroll ranges, the "Done." report and what a failed capture leaves behind.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/formfixture.h"
#include "snapshot/pagesize.h"

#include <QAction>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

using namespace snapvel;
using namespace snapvel::test;

namespace {

DocumentMetrics metrics(qint64 sw, qint64 ow, qint64 cw, qint64 sh, qint64 oh, qint64 ch)
{
    return {sw, ow, cw, sh, oh, ch};
}

// A shown form.
struct Form : FormFixture
{
    explicit Form(QSize viewport = {300, 200})
    {
        form.show();
        setViewport(viewport.width(), viewport.height());
        browser.document = true;
    }

    // Resizes the window so that the viewport (Picture2) gets this size.
    void setViewport(int w, int h)
    {
        form.resize(form.size() + QSize(w, h) - form.Picture2->size());
        QVERIFY(QTest::qWaitFor([&] { return form.Picture2->size() == QSize(w, h); }));
    }

    // Starts a capture and waits for it to end.
    void capture()
    {
        form.Command1_Click();
        QVERIFY(QTest::qWaitFor([&] { return !form.isCapturing(); }));
    }

    Placement placement() const { return browser.page()->placement(); }
};

bool picturesEqual(const QImage &a, const QImage &b)
{
    return a.size() == b.size() &&
           a.convertToFormat(QImage::Format_RGB32) == b.convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestCapture : public QObject
{
    Q_OBJECT

private slots:
    void pageSizeFormula_data();
    void pageSizeFormula();
    void capturesTheWorkedExample();
    void pageExactlyAsLargeAsTheViewportEnablesNoBar();
    void veryTallPageCanBeScrolledToItsBottom();
    void failedMeasurementKeepsThePreviousCapture();
    void failedPaintKeepsThePreviousCapture();
    void firstCaptureFailingEnablesNoOutput();
    void capturesNeverNest();
    void manualCaptureDisarmsThePendingOne();
    void takeSnapshotRunsTheSameCapture();
    void cancellingKeepsTheEarlierCaptureAndSaysNothing_data();
    void cancellingKeepsTheEarlierCaptureAndSaysNothing();
    void lostPageFailsTheCaptureAndTheNextLoadUsesAFreshPage();
    void lostPageWhileLoadingEndsTheWaitAtOnce();
    void pageTooLargeForMemoryIsRefusedBeforePainting();
};

void TestCapture::pageSizeFormula_data()
{
    QTest::addColumn<DocumentMetrics>("m");
    QTest::addColumn<qint64>("width");
    QTest::addColumn<qint64>("height");
    QTest::newRow("worked example")
        << metrics(1000, 1004, 1000, 3000, 1004, 1000) << qint64(1024) << qint64(3004);
    QTest::newRow("margin on the width only")
        << metrics(800, 800, 800, 3000, 1000, 1000) << qint64(820) << qint64(3000);
    QTest::newRow("sums beyond 32 bits")
        << metrics(3'000'000'000, 10, 0, 4'000'000'000, 4'000'000'000, 0) << qint64(3'000'000'030)
        << qint64(8'000'000'000);
}

void TestCapture::pageSizeFormula()
{
    QFETCH(DocumentMetrics, m);
    QFETCH(qint64, width);
    QFETCH(qint64, height);
    const PageSize page = pageSizeFrom(m);
    QCOMPARE(page.width, width);
    QCOMPARE(page.height, height);
}

void TestCapture::capturesTheWorkedExample()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    const Placement resting = f.form.saved();

    f.capture();

    // Painted once, at (0, 0) with the page's size.
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.browser.placementsPainted.value(0), (Placement{0, 0, 1024, 3004}));
    QVERIFY(f.browser.hideScrollbarCalls >= 1);

    // The picture has exactly the page's size and holds what was painted.
    QCOMPARE(f.form.Picture1->size(), QSize(1024, 3004));
    QVERIFY(f.form.Picture1->isVisible());
    const QImage &image = f.form.capture();
    QCOMPARE(image.size(), QSize(1024, 3004));
    for (const QPoint p : {QPoint(0, 0), QPoint(1023, 0), QPoint(512, 1502), QPoint(1023, 3003)})
        QCOMPARE(image.pixel(p), FakeBrowser::patternColour(p.x(), p.y()));

    QCOMPARE(f.form.VScroll1->maximum(), 2804);
    QCOMPARE(f.form.HScroll1->maximum(), 724);
    QVERIFY(f.form.VScroll1->isEnabled());
    QVERIFY(f.form.HScroll1->isEnabled());
    QVERIFY(f.form.mnuSave->isEnabled());
    QVERIFY(f.form.mnuClipboard->isEnabled());

    // Everything put back, then "Done." once.
    QCOMPARE(f.placement(), resting);
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(f.form.AutoSnapFlag, false);
    QCOMPARE(f.ui.boxes, QList<ScriptedUiServices::Box>{ScriptedUiServices::doneBox()});
    QVERIFY(!QApplication::overrideCursor());
}

void TestCapture::pageExactlyAsLargeAsTheViewportEnablesNoBar()
{
    Form f({400, 300}); // larger than the picture before any capture
    f.browser.metrics = metrics(380, 380, 380, 300, 300, 300); // 400 x 300
    f.capture();
    QCOMPARE(f.form.Picture1->size(), QSize(400, 300));
    QCOMPARE(f.form.VScroll1->maximum(), 0);
    QCOMPARE(f.form.HScroll1->maximum(), 0);
    QVERIFY(!f.form.VScroll1->isEnabled());
    QVERIFY(!f.form.HScroll1->isEnabled());
}

void TestCapture::veryTallPageCanBeScrolledToItsBottom()
{
    Form f;
    f.browser.metrics = metrics(280, 280, 280, 40000, 40000, 40000);
    f.browser.paintColour = Qt::white;
    f.capture();
    QCOMPARE(f.form.VScroll1->maximum(), 40000 - 200);
    QVERIFY(f.form.VScroll1->isEnabled());
    f.form.VScroll1->setValue(f.form.VScroll1->maximum());
    // The capture's last row sits at the viewport's bottom edge.
    QCOMPARE(f.form.Picture1->y() + f.form.Picture1->height(), f.form.Picture2->height());
}

void TestCapture::failedMeasurementKeepsThePreviousCapture()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.capture();
    const QImage first = f.form.capture();
    f.form.VScroll1->setValue(100);

    f.browser.metrics.reset(); // the page cannot be measured: W = H = 0
    f.form.AutoSnapFlag = true;
    f.form.setWindowTitle(frmMain::kLoadingCaption);
    f.capture();

    QCOMPARE(f.ui.boxes.size(), 2);
    const auto box = f.ui.boxes.constLast();
    QVERIFY2(box.prompt.startsWith(QStringLiteral("Capture failed: ")), qPrintable(box.prompt));
    QVERIFY(box.prompt.size() > QStringLiteral("Capture failed: ").size());
    QCOMPARE(box.style, 48);
    QCOMPARE(box.title, QStringLiteral("Tarvex Snapvel"));

    // The earlier capture is still shown, saveable and scrolled as before.
    QVERIFY(picturesEqual(f.form.capture(), first));
    QCOMPARE(f.form.Picture1->size(), QSize(1024, 3004));
    QVERIFY(f.form.Picture1->isVisible());
    QVERIFY(f.form.mnuSave->isEnabled());
    QCOMPARE(f.form.VScroll1->maximum(), 2804);
    QCOMPARE(f.form.Picture1->y(), -100);
    QCOMPARE(f.browser.paintCalls, 1);

    // Browser, caption and flag are put back all the same.
    QCOMPARE(f.placement(), f.form.saved());
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(f.form.AutoSnapFlag, false);
}

void TestCapture::failedPaintKeepsThePreviousCapture()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.capture();
    const QImage first = f.form.capture();

    f.browser.metrics = metrics(500, 500, 500, 9000, 9000, 9000);
    f.browser.failPaint = true;
    f.capture();

    QCOMPARE(f.ui.boxes.size(), 2);
    QCOMPARE(f.ui.boxes.constLast().prompt,
             QStringLiteral("Capture failed: The browser stopped responding."));
    QVERIFY(picturesEqual(f.form.capture(), first));
    QCOMPARE(f.form.Picture1->size(), QSize(1024, 3004));
    QCOMPARE(f.form.VScroll1->maximum(), 2804);
    QCOMPARE(f.placement(), f.form.saved());
}

void TestCapture::firstCaptureFailingEnablesNoOutput()
{
    Form f;
    f.browser.metrics.reset();
    f.capture();
    QCOMPARE(f.ui.boxes.size(), 1);
    QVERIFY(f.ui.boxes[0].prompt.startsWith(QStringLiteral("Capture failed: ")));
    QVERIFY(f.form.Picture1->isHidden());
    QVERIFY(!f.form.mnuSave->isEnabled());
    QVERIFY(!f.form.mnuClipboard->isEnabled());
    QVERIFY(f.form.capture().isNull());
    QVERIFY(!QApplication::overrideCursor());
}

void TestCapture::capturesNeverNest()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.form.AutoSnapFlag = true;
    f.form.Command1->setEnabled(true);
    f.form.mnuPicture->setEnabled(true);
    f.browser.paintDelayMs = 50;
    Placement whilePainting;
    bool commandsEnabledWhilePainting = true;
    Qt::CursorShape cursorWhilePainting = Qt::ArrowCursor;
    f.browser.onPaint = [&] {
        if (QApplication::overrideCursor())
            cursorWhilePainting = QApplication::overrideCursor()->shape();
        commandsEnabledWhilePainting =
            f.form.Command1->isEnabled() || f.form.mnuPicture->isEnabled();
        // Arrive while the capture runs: a top-level completion, a click on
        // the button and the menu command.
        QTimer::singleShot(0, &f.browser, [&] {
            whilePainting = f.placement();
            f.browser.emitDocumentComplete(true);
            f.form.Command1->click();
            f.form.mnuPicture->trigger();
            f.form.Command1_Click();
        });
    };
    f.capture();
    QCOMPARE(cursorWhilePainting, Qt::BusyCursor);
    QVERIFY(!commandsEnabledWhilePainting);
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.ui.boxes.size(), 1);
    // While it runs, the browser covers the whole page.
    QCOMPARE(whilePainting, (Placement{0, 0, 1024, 3004}));
    QVERIFY(f.form.Command1->isEnabled());
    QVERIFY(f.form.mnuPicture->isEnabled());
}

void TestCapture::manualCaptureDisarmsThePendingOne()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.form.AutoSnapFlag = true;
    f.form.Command1->setEnabled(true);
    f.form.Command1->click();
    QVERIFY(QTest::qWaitFor([&] { return !f.form.isCapturing(); }));
    QCOMPARE(f.form.AutoSnapFlag, false);
    f.browser.emitDocumentComplete(true);
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.ui.boxes.size(), 1);
}

void TestCapture::takeSnapshotRunsTheSameCapture()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.form.mnuPicture->setEnabled(true);
    f.form.mnuPicture->trigger();
    QVERIFY(QTest::qWaitFor([&] { return !f.form.isCapturing(); }));
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.ui.boxes, QList<ScriptedUiServices::Box>{ScriptedUiServices::doneBox()});
    QCOMPARE(f.form.Picture1->size(), QSize(1024, 3004));
}

void TestCapture::cancellingKeepsTheEarlierCaptureAndSaysNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Esc") << "escape";
    QTest::newRow("Cancel button") << "button";
    QTest::newRow("Open URL") << "open";
}

void TestCapture::cancellingKeepsTheEarlierCaptureAndSaysNothing()
{
    QFETCH(QString, how);
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.capture();
    const QImage first = f.form.capture();

    // A capture that never gets its picture, with the progress shown.
    f.browser.metrics = metrics(500, 500, 500, 9000, 9000, 9000);
    f.browser.holdPaints = true;
    f.form.AutoSnapFlag = true;
    f.form.setWindowTitle(frmMain::kLoadingCaption);
    f.form.Command1_Click();
    QVERIFY(QTest::qWaitFor([&] { return f.browser.paintCalls == 2; }));
    QVERIFY(f.form.progressBar->isVisible());
    QVERIFY(f.form.cancelButton->isVisible());

    if (how == "escape") {
        QTest::keyClick(&f.form, Qt::Key_Escape);
    } else if (how == "button") {
        f.form.cancelButton->click();
    } else {
        f.ui.inputAnswers.enqueue(QString()); // the prompt is then cancelled
        f.form.mnuOpen->trigger();
    }
    QVERIFY(!f.form.isCapturing());
    QVERIFY(picturesEqual(f.form.capture(), first));
    QCOMPARE(f.ui.boxes.size(), 1); // "Done." of the first capture only
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(f.form.AutoSnapFlag, false);
    QCOMPARE(f.placement(), f.form.saved());
    QVERIFY(f.form.progressBar->isHidden());
    QVERIFY(!QApplication::overrideCursor());
    // Nothing more comes from the cancelled capture, and a new one works.
    f.browser.holdPaints = false;
    f.capture();
    QCOMPARE(f.ui.boxes.size(), 2);
    QCOMPARE(f.ui.boxes.constLast(), ScriptedUiServices::doneBox());
    QCOMPARE(f.form.capture().size(), QSize(520, 9000));
}

void TestCapture::lostPageFailsTheCaptureAndTheNextLoadUsesAFreshPage()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.capture();
    const QImage first = f.form.capture();

    f.browser.holdPaints = true;
    f.form.Command1_Click();
    QVERIFY(QTest::qWaitFor([&] { return f.browser.paintCalls == 2; }));
    f.browser.page()->lose(
        {QStringLiteral("The page's renderer crashed."), FailureKind::PageCrashed});
    QVERIFY(QTest::qWaitFor([&] { return !f.form.isCapturing(); }));
    QCOMPARE(f.ui.boxes.constLast().prompt,
             QStringLiteral("Capture failed: The page's renderer crashed."));
    QVERIFY(picturesEqual(f.form.capture(), first));

    // A capture of the lost page says so again; a new address gets a fresh
    // page with the window's layout viewport.
    f.capture();
    QCOMPARE(f.ui.boxes.constLast().prompt,
             QStringLiteral("Capture failed: The page's renderer crashed."));
    QCOMPARE(f.browser.pagesOpened, 1);
    f.ui.inputAnswers.enqueue(QStringLiteral("example.com"));
    f.form.mnuOpen_Click();
    QCOMPARE(f.browser.pagesOpened, 2);
    QCOMPARE(f.browser.page()->layoutViewport(), QGuiApplication::primaryScreen()->size());
    QCOMPARE(f.placement(), f.form.saved());
    f.browser.holdPaints = false;
    f.browser.emitDocumentComplete(true);
    QVERIFY(QTest::qWaitFor([&] { return !f.form.isCapturing(); }));
    QCOMPARE(f.ui.boxes.constLast(), ScriptedUiServices::doneBox());
}

void TestCapture::lostPageWhileLoadingEndsTheWaitAtOnce()
{
    Form f;
    f.ui.inputAnswers.enqueue(QStringLiteral("example.com"));
    f.form.mnuOpen_Click();
    f.browser.emitDownloadComplete();
    QCOMPARE(f.form.windowTitle(), frmMain::kLoadingCaption);
    f.browser.stop({QStringLiteral("The browser stopped unexpectedly."), FailureKind::BrowserLost});
    QCOMPARE(f.ui.boxes, (QList<ScriptedUiServices::Box>{
                             {QStringLiteral("Capture failed: The browser stopped unexpectedly."),
                              48, QStringLiteral("Tarvex Snapvel")}}));
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(f.form.AutoSnapFlag, false);
    // The lost page's late events change nothing.
    f.browser.emitDocumentComplete(true);
    QCOMPARE(f.browser.paintCalls, 0);
    QCOMPARE(f.ui.boxes.size(), 1);
}

void TestCapture::pageTooLargeForMemoryIsRefusedBeforePainting()
{
    Form f;
    f.browser.metrics = metrics(1'000'000, 0, 0, 1'000'000, 0, 0);
    f.capture();
    QCOMPARE(f.browser.paintCalls, 0);
    QCOMPARE(f.ui.boxes.constLast().prompt,
             QStringLiteral("Capture failed: the page is too large to capture "
                            "(1000020 x 1000000 pixels)"));
    QVERIFY(f.form.capture().isNull());
}

QTEST_MAIN(TestCapture)
#include "tst_capture.moc"
