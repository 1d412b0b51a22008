#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/formfixture.h"
#include "output/clipboardcopy.h"
#include "testpictures.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>

using namespace snapvel;
using snapvel::test::makeCapture;

class TestClipboardCopy : public QObject
{
    Q_OBJECT

private slots:
    void clipboardHoldsTheLatestCapture()
    {
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->setText(QStringLiteral("something else"));

        const QImage first = makeCapture(31, 17);
        QVERIFY(copyToClipboard(clipboard, first));
        QVERIFY(clipboard->mimeData()->hasImage());
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), first);

        const QImage second = makeCapture(64, 900);
        QVERIFY(copyToClipboard(clipboard, second));
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), second);

        // Without a capture the clipboard keeps what it had; without a
        // clipboard nothing happens.
        QVERIFY(copyToClipboard(clipboard, QImage()));
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), second);
        QVERIFY(copyToClipboard(nullptr, first));
    }

    void refusesAPictureOtherProgramsCouldNotReceive()
    {
        QClipboard *clipboard = QGuiApplication::clipboard();
        const QImage small = makeCapture(8, 8);
        QVERIFY(copyToClipboard(clipboard, small));
        // 2^31 bytes of pixels, one more than the limit. Never drawn on, so
        // its memory is only reserved.
        const QImage huge(16384, 32768, QImage::Format_RGB32);
        if (huge.isNull())
            QSKIP("no room for a 2 GB picture here");
        const Status copied = copyToClipboard(clipboard, huge);
        QVERIFY(!copied);
        QCOMPARE(copied.kind(), FailureKind::TooLarge);
        QVERIFY2(copied.error().contains(QLatin1String("too large for the clipboard (16384 x "
                                                       "32768 pixels)")),
                 qPrintable(copied.error()));
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), small);

        // The window says so in a box.
        snapvel::test::FormFixture f;
        f.form.Picture1->setImage(huge);
        f.form.mnuClipboard_Click();
        QCOMPARE(f.ui.boxes.size(), 1);
        QCOMPARE(f.ui.boxes[0].prompt, copied.error());
        QCOMPARE(f.ui.boxes[0].style, 48);
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), small);
    }
};

QTEST_MAIN(TestClipboardCopy)
#include "tst_clipboardcopy.moc"
