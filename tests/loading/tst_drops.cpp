// Drops on both picture boxes: files open in their application, text loads.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/formfixture.h"

#include <QDropEvent>
#include <QMimeData>
#include <QtTest>

using namespace snapvel;
using namespace snapvel::test;

class TestDrops : public QObject
{
    Q_OBJECT

private slots:
    void dropOnEitherPicture_data();
    void dropOnEitherPicture();
};

void TestDrops::dropOnEitherPicture_data()
{
    QTest::addColumn<bool>("onCapture");
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("text"); // null: no text in the drop
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QStringList>("navigated");
    QTest::addColumn<bool>("refused"); // a box says why nothing was loaded

    const QList<QUrl> files = {QUrl::fromLocalFile("/tmp/first file.txt"),
                               QUrl::fromLocalFile("/tmp/second.png")};
    for (bool onCapture : {false, true}) {
        const char *where = onCapture ? "Picture1: " : "Picture2: ";
        auto row = [&](const char *name) {
            return &QTest::newRow((QByteArray(where) + name).constData());
        };
        *row("several files") << onCapture << files << QString()
                              << QStringList{"/tmp/first file.txt"} << QStringList{} << false;
        *row("files and text") << onCapture << files << QStringLiteral("a.test")
                               << QStringList{"/tmp/first file.txt"} << QStringList{} << false;
        *row("text") << onCapture << QList<QUrl>{} << QStringLiteral(" b.test ") << QStringList{}
                     << QStringList{" b.test "} << false;
        *row("empty text") << onCapture << QList<QUrl>{} << QStringLiteral("") << QStringList{}
                           << QStringList{""} << false;
        *row("script text") << onCapture << QList<QUrl>{} << QStringLiteral("javascript:alert(1)")
                            << QStringList{} << QStringList{} << true;
        *row("link without text") << onCapture << QList<QUrl>{QUrl("http://c.test/x")} << QString()
                                  << QStringList{} << QStringList{"http://c.test/x"} << false;
        *row("neither") << onCapture << QList<QUrl>{} << QString() << QStringList{} << QStringList{}
                        << false;
    }
}

void TestDrops::dropOnEitherPicture()
{
    QFETCH(bool, onCapture);
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, text);
    QFETCH(QStringList, opened);
    QFETCH(QStringList, navigated);
    QFETCH(bool, refused);

    FormFixture f;
    auto &form = f.form;
    form.show();
    if (onCapture) {
        form.Picture1->setImage(QImage(200, 100, QImage::Format_RGB32));
        form.Picture1->show();
    }
    form.AutoSnapFlag = onCapture; // drops never touch the flag, set or not

    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isNull())
        data.setText(text);
    if (urls.isEmpty() && text.isNull())
        data.setData(QStringLiteral("image/png"), QByteArray("not an address"));

    PictureBox *target = onCapture ? form.Picture1 : form.Picture2;
    // Delivered straight to the widget: QApplication passes drop events on
    // only while a real drag is in progress.
    QObject *receiver = target;
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    receiver->event(&enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    receiver->event(&drop);
    QVERIFY(drop.isAccepted());

    QCOMPARE(f.ui.opened, opened);
    QCOMPARE(f.browser.navigated, navigated);
    QCOMPARE(form.AutoSnapFlag, onCapture);
    QCOMPARE(f.ui.boxes.size(), refused ? 1 : 0);
    if (refused)
        QCOMPARE(f.ui.boxes[0].style, 48);
    QCOMPARE(f.browser.paintCalls, 0);
}

QTEST_MAIN(TestDrops)
#include "tst_drops.moc"
