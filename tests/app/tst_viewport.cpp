// The resize layout and the scrolled viewport.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/formfixture.h"

#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

using namespace snapvel;
using namespace snapvel::test;

namespace {

struct Form : FormFixture
{
    Form()
    {
        form.show(); // resize events reach visible widgets at once
    }

    // Resizes the window so that its client area gets the given size.
    void resizeClient(int w, int h)
    {
        const QSize client = form.centralWidget()->size();
        form.resize(form.size() + QSize(w, h) - client);
        QVERIFY(QTest::qWaitFor([&] { return form.centralWidget()->size() == QSize(w, h); }));
    }

    // The capture's offset always mirrors the bars' values.
    void checkOffsetFollowsBars() const
    {
        QCOMPARE(form.Picture1->x(), -form.HScroll1->value());
        QCOMPARE(form.Picture1->y(), -form.VScroll1->value());
    }
};

} // namespace

class TestViewport : public QObject
{
    Q_OBJECT

private slots:
    void layoutFollowsEverySize_data();
    void layoutFollowsEverySize();
    void minimiseSkipsNegativeSizesAndRestoreLaysOutAgain();
    void shrinkingBelowTheHiddenPictureEnablesTheBars();
    void barsStayEnabledWhenTheWindowGrowsPastTheCapture();
    void scrollingMovesTheCapture();
    void rangeChangesKeepTheOffsetInStep();
    void wheelOverTheViewportScrollsTheCapture();
    void keysInTheViewportScrollTheCapture();
};

void TestViewport::layoutFollowsEverySize_data()
{
    QTest::addColumn<QSize>("client");
    QTest::newRow("creation size") << QSize(328, 216);
    QTest::newRow("large") << QSize(1200, 900);
    QTest::newRow("narrow and tall") << QSize(60, 700);
    QTest::newRow("just the corner") << QSize(17, 17);
}

void TestViewport::layoutFollowsEverySize()
{
    QFETCH(QSize, client);
    Form f;
    f.resizeClient(client.width(), client.height());
    const int sw = client.width(), sh = client.height();
    QCOMPARE(f.form.Picture2->geometry(), QRect(0, 0, sw - 17, sh - 17));
    QCOMPARE(f.form.VScroll1->geometry(), QRect(sw - 17, 0, 17, sh - 17));
    QCOMPARE(f.form.HScroll1->geometry(), QRect(0, sh - 17, sw - 17, 17));
    QCOMPARE(f.form.Command1->geometry(), QRect(sw - 17, sh - 17, 17, 17));
}

void TestViewport::minimiseSkipsNegativeSizesAndRestoreLaysOutAgain()
{
    Form f;
    f.resizeClient(400, 300);
    const QRect picture2 = f.form.Picture2->geometry();
    const QRect vbar = f.form.VScroll1->geometry();
    const QRect hbar = f.form.HScroll1->geometry();

    // Minimised: the client area is empty. The viewport and both bars would
    // get negative sizes and stay put; the corner button moves off-screen.
    f.form.centralWidget()->resize(0, 0);
    QCOMPARE(f.form.Picture2->geometry(), picture2);
    QCOMPARE(f.form.VScroll1->geometry(), vbar);
    QCOMPARE(f.form.HScroll1->geometry(), hbar);
    QCOMPARE(f.form.Command1->pos(), QPoint(-17, -17));
    QCOMPARE(f.form.Command1->size(), QSize(17, 17));

    f.form.centralWidget()->resize(400, 300);
    QCOMPARE(f.form.Picture2->geometry(), picture2);
    QCOMPARE(f.form.Command1->geometry(), QRect(383, 283, 17, 17));
}

void TestViewport::shrinkingBelowTheHiddenPictureEnablesTheBars()
{
    Form f;
    // The hidden picture is 310 x 197 before any capture.
    f.resizeClient(200, 150);
    QCOMPARE(f.form.VScroll1->maximum(), 197 - 133);
    QCOMPARE(f.form.HScroll1->maximum(), 310 - 183);
    QVERIFY(f.form.VScroll1->isEnabled());
    QVERIFY(f.form.HScroll1->isEnabled());
    QVERIFY(f.form.Picture1->isHidden());
}

void TestViewport::barsStayEnabledWhenTheWindowGrowsPastTheCapture()
{
    Form f;
    f.resizeClient(200, 150);
    QVERIFY(f.form.VScroll1->isEnabled());
    f.form.VScroll1->setValue(40);
    f.resizeClient(1000, 800);
    QVERIFY(f.form.VScroll1->isEnabled());
    QVERIFY(f.form.HScroll1->isEnabled());
    QCOMPARE(f.form.VScroll1->maximum(), 0);
    QCOMPARE(f.form.VScroll1->minimum(), 0);
    // The value was brought back into the empty range, and the picture with it.
    f.checkOffsetFollowsBars();
    QCOMPARE(f.form.Picture1->pos(), QPoint(0, 0));
}

void TestViewport::scrollingMovesTheCapture()
{
    Form f;
    f.form.Picture1->setImage(QImage(1000, 40000, QImage::Format_RGB32));
    f.form.Picture1->show();
    f.resizeClient(417, 317); // viewport 400 x 300
    QCOMPARE(f.form.VScroll1->maximum(), 40000 - 300);
    QCOMPARE(f.form.HScroll1->maximum(), 1000 - 400);

    // Arrow and page steps.
    f.form.VScroll1->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    f.checkOffsetFollowsBars();
    QVERIFY(f.form.Picture1->y() < 0);
    f.form.VScroll1->triggerAction(QAbstractSlider::SliderPageStepAdd);
    f.checkOffsetFollowsBars();
    f.form.HScroll1->triggerAction(QAbstractSlider::SliderPageStepAdd);
    f.checkOffsetFollowsBars();
    QCOMPARE(f.form.Picture1->x(), -f.form.HScroll1->pageStep());

    // Keyboard.
    f.form.VScroll1->setFocus();
    QTest::keyClick(f.form.VScroll1, Qt::Key_End);
    QCOMPARE(f.form.VScroll1->value(), 40000 - 300);
    f.checkOffsetFollowsBars();

    // Dragging: the capture follows the thumb while it moves.
    f.form.VScroll1->setSliderDown(true);
    f.form.VScroll1->setSliderPosition(12345);
    QCOMPARE(f.form.Picture1->y(), -12345);
    f.form.VScroll1->setSliderPosition(23456);
    QCOMPARE(f.form.Picture1->y(), -23456);
    f.form.VScroll1->setSliderDown(false);
    f.checkOffsetFollowsBars();

    // The bottom row of a capture far taller than 32,767 px can be reached.
    f.form.VScroll1->setValue(f.form.VScroll1->maximum());
    QCOMPARE(f.form.Picture1->y() + f.form.Picture1->height(), f.form.Picture2->height());
}

void TestViewport::rangeChangesKeepTheOffsetInStep()
{
    Form f;
    f.form.Picture1->setImage(QImage(800, 2000, QImage::Format_RGB32));
    f.resizeClient(417, 317);
    f.form.VScroll1->setValue(1700);
    f.form.HScroll1->setValue(400);
    f.checkOffsetFollowsBars();

    // Growing the viewport lowers the maxima below the values: Qt clamps the
    // values and the picture moves with them.
    f.resizeClient(717, 717);
    QCOMPARE(f.form.VScroll1->maximum(), 2000 - 700);
    QCOMPARE(f.form.VScroll1->value(), 1300);
    QCOMPARE(f.form.HScroll1->maximum(), 100);
    f.checkOffsetFollowsBars();
}

void TestViewport::wheelOverTheViewportScrollsTheCapture()
{
    Form f;
    f.form.Picture1->setImage(QImage(2000, 5000, QImage::Format_RGB32));
    f.form.Picture1->show();
    f.resizeClient(417, 317);

    const auto wheel = [&](QWidget *over, QPoint delta) {
        QWheelEvent event(QPointF(50, 50), f.form.mapToGlobal(QPointF(50, 50)), QPoint(), delta,
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(over, &event);
    };
    wheel(f.form.Picture1, QPoint(0, -120)); // down, over the capture
    QVERIFY(f.form.VScroll1->value() > 0);
    QCOMPARE(f.form.HScroll1->value(), 0);
    f.checkOffsetFollowsBars();

    const int down = f.form.VScroll1->value();
    wheel(f.form.Picture2, QPoint(-120, 0)); // sideways, over the viewport
    QCOMPARE(f.form.VScroll1->value(), down);
    QVERIFY(f.form.HScroll1->value() > 0);
    f.checkOffsetFollowsBars();
}

void TestViewport::keysInTheViewportScrollTheCapture()
{
    Form f;
    f.form.Picture1->setImage(QImage(2000, 40000, QImage::Format_RGB32));
    f.form.Picture1->show();
    f.resizeClient(417, 317); // viewport 400 x 300
    QVERIFY(f.form.Picture2->focusPolicy() & Qt::TabFocus);
    QVERIFY(f.form.Picture2->focusPolicy() & Qt::ClickFocus);

    struct Step
    {
        Qt::Key key;
        QPoint offset; // the bars' values afterwards
    };
    const QList<Step> steps = {
        {Qt::Key_Down, {0, 20}},         {Qt::Key_Down, {0, 40}},      {Qt::Key_Up, {0, 20}},
        {Qt::Key_Right, {20, 20}},       {Qt::Key_Left, {0, 20}},      {Qt::Key_Left, {0, 20}},
        {Qt::Key_PageDown, {0, 320}},    {Qt::Key_PageDown, {0, 620}}, {Qt::Key_PageUp, {0, 320}},
        {Qt::Key_End, {0, 40000 - 300}}, {Qt::Key_Down, {0, 39700}},   {Qt::Key_PageUp, {0, 39400}},
        {Qt::Key_Home, {0, 0}},          {Qt::Key_PageUp, {0, 0}},
    };
    for (QWidget *focus :
         {static_cast<QWidget *>(f.form.Picture2), static_cast<QWidget *>(f.form.Picture1)}) {
        focus->setFocus();
        for (const Step &step : steps) {
            QTest::keyClick(focus, step.key);
            QCOMPARE(QPoint(f.form.HScroll1->value(), f.form.VScroll1->value()), step.offset);
            f.checkOffsetFollowsBars();
        }
    }

    // Other keys are not taken, and a disabled bar does not move.
    QTest::keyClick(f.form.Picture2, Qt::Key_A);
    QCOMPARE(f.form.VScroll1->value(), 0);
    f.form.VScroll1->setEnabled(false);
    QTest::keyClick(f.form.Picture2, Qt::Key_End);
    QCOMPARE(f.form.VScroll1->value(), 0);
    f.checkOffsetFollowsBars();
}

QTEST_MAIN(TestViewport)
#include "tst_viewport.moc"
