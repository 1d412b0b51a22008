#include "output/clipboardcopy.h"
#include "testpictures.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace snapvel;
using snapvel::test::makeCapture;

namespace {

// Asks another program for the clipboard in a format while this process,
// which owns the clipboard, keeps answering in its event loop.
QByteArray readClipboardWithXclip(const QString &target)
{
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                          QStringLiteral("-t"), target, QStringLiteral("-o")});
    if (!xclip.waitForStarted(10000))
        return {};
    QSignalSpy finished(&xclip, &QProcess::finished);
    if (!finished.wait(60000)) {
        xclip.kill();
        xclip.waitForFinished();
        return {};
    }
    if (xclip.exitCode() != 0)
        qWarning() << "xclip:" << xclip.readAllStandardError();
    return xclip.readAllStandardOutput();
}

} // namespace

// Runs under a real X server (xvfb-run): other programs see the copy.
class TestClipboardX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb");
        if (QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty())
            QSKIP("xclip is not installed");
    }

    void otherProgramsReadTheCaptureAsPng()
    {
        QClipboard *clipboard = QGuiApplication::clipboard();
        QVERIFY(copyToClipboard(clipboard, makeCapture(50, 40)));
        const QImage second = makeCapture(321, 2345);
        QVERIFY(copyToClipboard(clipboard, second));

        const QByteArray targets = readClipboardWithXclip(QStringLiteral("TARGETS"));
        QVERIFY2(targets.contains("image/png"), targets.constData());
        QVERIFY2(targets.contains("image/bmp"), targets.constData());

        const QByteArray png = readClipboardWithXclip(QStringLiteral("image/png"));
        QVERIFY(png.startsWith("\x89PNG"));
        const QImage readBack = QImage::fromData(png, "PNG");
        QCOMPARE(readBack.size(), second.size());
        QCOMPARE(readBack.convertToFormat(QImage::Format_RGB32), second);
    }
};

QTEST_MAIN(TestClipboardX11)
#include "tst_clipboardx11.moc"
