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
        copyToClipboard(clipboard, first);
        QVERIFY(clipboard->mimeData()->hasImage());
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), first);

        const QImage second = makeCapture(64, 900);
        copyToClipboard(clipboard, second);
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), second);

        // Without a capture the clipboard keeps what it had; without a
        // clipboard nothing happens.
        copyToClipboard(clipboard, QImage());
        QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32), second);
        copyToClipboard(nullptr, first);
    }
};

QTEST_MAIN(TestClipboardCopy)
#include "tst_clipboardcopy.moc"
