// The capture sequence with a fake browser: page size, browser geometry,
// scroll ranges, the "Done." report and what a failed capture leaves behind.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/formfixture.h"
#include "snapshot/pagesize.h"

#include <QAction>
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

    ScriptedUiServices::Box doneBox() const { return {"Done.", 0, "Done."}; }
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

    f.form.Command1_Click();

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
    QCOMPARE(f.browser.placement(), resting);
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(f.form.AutoSnapFlag, false);
    QCOMPARE(f.ui.boxes, QList<ScriptedUiServices::Box>{f.doneBox()});
    QVERIFY(!QApplication::overrideCursor());
}

void TestCapture::pageExactlyAsLargeAsTheViewportEnablesNoBar()
{
    Form f({400, 300}); // larger than the picture before any capture
    f.browser.metrics = metrics(380, 380, 380, 300, 300, 300); // 400 x 300
    f.form.Command1_Click();
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
    f.form.Command1_Click();
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
    f.form.Command1_Click();
    const QImage first = f.form.capture();
    f.form.VScroll1->setValue(100);

    f.browser.metrics.reset(); // the page cannot be measured: W = H = 0
    f.form.AutoSnapFlag = true;
    f.form.setWindowTitle(frmMain::kLoadingCaption);
    f.form.Command1_Click();

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
    QCOMPARE(f.browser.placement(), f.form.saved());
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(f.form.AutoSnapFlag, false);
}

void TestCapture::failedPaintKeepsThePreviousCapture()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.form.Command1_Click();
    const QImage first = f.form.capture();

    f.browser.metrics = metrics(500, 500, 500, 9000, 9000, 9000);
    f.browser.failPaint = true;
    f.form.Command1_Click();

    QCOMPARE(f.ui.boxes.size(), 2);
    QCOMPARE(f.ui.boxes.constLast().prompt,
             QStringLiteral("Capture failed: The browser stopped responding."));
    QVERIFY(picturesEqual(f.form.capture(), first));
    QCOMPARE(f.form.Picture1->size(), QSize(1024, 3004));
    QCOMPARE(f.form.VScroll1->maximum(), 2804);
    QCOMPARE(f.browser.placement(), f.form.saved());
}

void TestCapture::firstCaptureFailingEnablesNoOutput()
{
    Form f;
    f.browser.metrics.reset();
    f.form.Command1_Click();
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
    Placement duringYield;
    Qt::CursorShape cursorWhilePainting = Qt::ArrowCursor;
    f.browser.onPaint = [&] {
        if (QApplication::overrideCursor())
            cursorWhilePainting = QApplication::overrideCursor()->shape();
        // Arrives during the capture's yield: a top-level completion, a click
        // on the button and the menu command.
        QTimer::singleShot(0, &f.browser, [&] {
            duringYield = f.browser.placement();
            f.browser.emitDocumentComplete(true);
            f.form.Command1->click();
            f.form.mnuPicture->trigger();
        });
    };
    f.form.Command1_Click();
    QCOMPARE(cursorWhilePainting, Qt::WaitCursor);
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.ui.boxes.size(), 1);
    // The yield comes while the browser still covers the whole page.
    QCOMPARE(duringYield, (Placement{0, 0, 1024, 3004}));
    QVERIFY(!f.form.isCapturing());
}

void TestCapture::manualCaptureDisarmsThePendingOne()
{
    Form f;
    f.browser.metrics = metrics(1000, 1004, 1000, 3000, 1004, 1000);
    f.form.AutoSnapFlag = true;
    f.form.Command1->setEnabled(true);
    f.form.Command1->click();
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
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.ui.boxes, QList<ScriptedUiServices::Box>{f.doneBox()});
    QCOMPARE(f.form.Picture1->size(), QSize(1024, 3004));
}

QTEST_MAIN(TestCapture)
#include "tst_capture.moc"
