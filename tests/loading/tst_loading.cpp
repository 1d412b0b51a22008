// The address prompt, the browser's events and the pending-capture flag.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/formfixture.h"
#include "loading/address.h"
#include "loading/commandlineaddress.h"
#include "loading/welcomepage.h"

#include <QAction>
#include <QPushButton>
#include <QtTest>

using namespace snapvel;
using namespace snapvel::test;

namespace {

const QString kCaption = QStringLiteral("Tarvex Snapvel");
const QString kLoading = QStringLiteral("Tarvex Snapvel - Loading Page...");

struct Form : FormFixture
{
    Form() { browser.metrics = DocumentMetrics{1000, 1000, 1000, 2000, 2000, 2000}; }

    void open(const QString &answer)
    {
        ui.inputAnswers.enqueue(answer);
        form.mnuOpen->trigger();
    }
    int doneBoxes() const { return int(ui.boxes.count(ScriptedUiServices::doneBox())); }
    // Waits for a capture that may have started to end.
    void settle()
    {
        QVERIFY(QTest::qWaitFor([&] { return !form.isCapturing(); }));
    }
};

} // namespace

class TestLoading : public QObject
{
    Q_OBJECT

private slots:
    void scriptAddressesAreRecognised_data();
    void scriptAddressesAreRecognised();
    void promptArmsTheFlagAndNavigatesAsTyped();
    void cancelledPromptChangesNothing();
    void cancellingWhileArmedKeepsThePendingCapture();
    void newAddressWhileArmedIsLoadedAtOnce();
    void refusedAddressSaysWhyAndStillArms();
    void scriptAddressIsNeverLoaded();
    void navigationWithoutADocumentEndsTheWait();
    void framesCompleteBeforeThePageOneCapture();
    void downloadsEnableTheCommandsAndShowTheLoadingCaption();
    void documentCompleteWhileIdleDoesNothing();
    void pageThatNeverCompletesCanBeCapturedByHand();
    void captureDuringTheDownloadYieldLeavesTheMainCaption();
    void everyNewWindowIsRefused();
    void welcomePageIsBesideTheProgramOrInstalledUnderShare();
    void commandLineAddress_data();
    void commandLineAddress();
    void promptOffersTheCommandLineAddress();
};

void TestLoading::scriptAddressesAreRecognised_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("script");
    QTest::newRow("plain") << "javascript:alert(1)" << true;
    QTest::newRow("mixed case") << "JavaScript:void(0)" << true;
    QTest::newRow("leading blanks") << " \t javascript:x" << true;
    QTest::newRow("web address") << "example.com" << false;
    QTest::newRow("path mentioning it") << "http://a.test/javascript:x" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("no colon") << "javascript" << false;
}

void TestLoading::scriptAddressesAreRecognised()
{
    QFETCH(QString, text);
    QFETCH(bool, script);
    QCOMPARE(isScriptAddress(text), script);
}

void TestLoading::promptArmsTheFlagAndNavigatesAsTyped()
{
    Form f;
    f.open(QStringLiteral("  example.com/page "));
    QCOMPARE(f.browser.navigated, QStringList{"  example.com/page "});
    QCOMPARE(f.form.AutoSnapFlag, true);
    QCOMPARE(f.ui.inputs.size(), 1);
    QCOMPARE(f.ui.inputs[0].title, QStringLiteral("URL"));
    QVERIFY(f.ui.inputs[0].defaultText.startsWith(QStringLiteral("file://")) ||
            f.ui.inputs[0].defaultText.startsWith(QStringLiteral("http")));
    // Blanks are not empty: they are navigated to as well.
    f.open(QStringLiteral("   "));
    QCOMPARE(f.browser.navigated.size(), 2);
}

void TestLoading::cancelledPromptChangesNothing()
{
    Form f;
    f.open(QString());
    QVERIFY(f.browser.navigated.isEmpty());
    QVERIFY(f.ui.boxes.isEmpty());
    QCOMPARE(f.form.AutoSnapFlag, false);
    QCOMPARE(f.form.windowTitle(), kCaption);
}

void TestLoading::cancellingWhileArmedKeepsThePendingCapture()
{
    Form f;
    f.open(QStringLiteral("a.test"));
    f.open(QString());
    QCOMPARE(f.form.AutoSnapFlag, true);
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.doneBoxes(), 1);
    QCOMPARE(f.form.AutoSnapFlag, false);
}

void TestLoading::newAddressWhileArmedIsLoadedAtOnce()
{
    Form f;
    f.open(QStringLiteral("a.test"));
    f.open(QStringLiteral("b.test"));
    QCOMPARE(f.browser.navigated, (QStringList{"a.test", "b.test"}));
    QCOMPARE(f.form.AutoSnapFlag, true);
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.browser.paintCalls, 1);
    // Idle again: a further completion takes no capture.
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.browser.paintCalls, 1);
}

void TestLoading::refusedAddressSaysWhyAndStillArms()
{
    Form f;
    f.browser.failNavigate = true;
    f.open(QStringLiteral("a.test"));
    QCOMPARE(f.browser.navigated.size(), 1);
    QCOMPARE(f.form.AutoSnapFlag, true);
    const QList<ScriptedUiServices::Box> refused{
        {"The browser could not be reached.", 48, kCaption}};
    QCOMPARE(f.ui.boxes, refused);
}

void TestLoading::scriptAddressIsNeverLoaded()
{
    Form f;
    f.open(QStringLiteral("  JAVASCRIPT:document.body.innerHTML=''"));
    QVERIFY(f.browser.navigated.isEmpty());
    const QList<ScriptedUiServices::Box> refused{
        {"Addresses that run script (javascript:) are not loaded.", 48, kCaption}};
    QCOMPARE(f.ui.boxes, refused);
}

void TestLoading::navigationWithoutADocumentEndsTheWait()
{
    Form f;
    const Failure download{QStringLiteral("The address is a download; nothing was saved.")};
    // Idle: nothing is said.
    f.browser.emitNavigationFailed(download);
    QVERIFY(f.ui.boxes.isEmpty());

    // Armed: said, disarmed, and the page is kept for the next address.
    f.open(QStringLiteral("report.test/file.zip"));
    f.browser.emitDownloadComplete();
    QCOMPARE(f.form.windowTitle(), kLoading);
    f.browser.emitNavigationFailed(download);
    const QList<ScriptedUiServices::Box> failed{
        {"Capture failed: The address is a download; nothing was saved.", 48, kCaption}};
    QCOMPARE(f.ui.boxes, failed);
    QCOMPARE(f.form.AutoSnapFlag, false);
    QCOMPARE(f.form.windowTitle(), kCaption);
    QCOMPARE(f.browser.pagesOpened, 1);
    // A late completion of the page that stayed takes no capture.
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.browser.paintCalls, 0);
}

void TestLoading::framesCompleteBeforeThePageOneCapture()
{
    Form f;
    f.open(QStringLiteral("frames.test"));
    f.browser.emitDownloadComplete();
    f.browser.emitDocumentComplete(false);
    f.browser.emitDocumentComplete(false);
    QCOMPARE(f.browser.paintCalls, 0);
    QCOMPARE(f.browser.hideScrollbarCalls, 3); // the download and both frames
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.browser.paintCalls, 1);
    QCOMPARE(f.doneBoxes(), 1);
    QCOMPARE(f.form.windowTitle(), kCaption);
}

void TestLoading::downloadsEnableTheCommandsAndShowTheLoadingCaption()
{
    Form f;
    // Not armed: the commands come on, the caption stays.
    f.browser.emitDownloadComplete();
    QVERIFY(f.form.Command1->isEnabled());
    QVERIFY(f.form.mnuPicture->isEnabled());
    QCOMPARE(f.browser.hideScrollbarCalls, 1);
    QCOMPARE(f.form.windowTitle(), kCaption);

    // Armed: the loading caption, until the capture ends.
    f.open(QStringLiteral("a.test"));
    f.browser.emitDownloadComplete();
    QCOMPARE(f.form.windowTitle(), kLoading);
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.form.windowTitle(), kCaption);

    // Later downloads keep the commands on and leave the caption alone.
    f.browser.emitDownloadComplete();
    QVERIFY(f.form.Command1->isEnabled());
    QVERIFY(f.form.mnuPicture->isEnabled());
    QCOMPARE(f.form.windowTitle(), kCaption);
}

void TestLoading::documentCompleteWhileIdleDoesNothing()
{
    Form f;
    f.browser.emitDocumentComplete(false);
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.browser.hideScrollbarCalls, 0);
    QCOMPARE(f.browser.paintCalls, 0);
    QVERIFY(f.ui.boxes.isEmpty());
}

void TestLoading::pageThatNeverCompletesCanBeCapturedByHand()
{
    Form f;
    f.open(QStringLiteral("slow.test"));
    f.browser.emitDownloadComplete();
    QCOMPARE(f.form.windowTitle(), kLoading);
    QCOMPARE(f.form.AutoSnapFlag, true);

    f.form.Command1->click();
    f.settle();
    QCOMPARE(f.doneBoxes(), 1);
    QCOMPARE(f.form.windowTitle(), kCaption);
    QCOMPARE(f.form.AutoSnapFlag, false);
    // The page's late completion takes no second capture.
    f.browser.emitDocumentComplete(true);
    f.settle();
    QCOMPARE(f.browser.paintCalls, 1);
}

void TestLoading::captureDuringTheDownloadYieldLeavesTheMainCaption()
{
    Form f;
    f.open(QStringLiteral("a.test"));
    // A completion already queued when the download's handler yields.
    QTimer::singleShot(0, &f.browser, [&] { f.browser.emitDocumentComplete(true); });
    f.browser.emitDownloadComplete();
    f.settle();
    QCOMPARE(f.doneBoxes(), 1);
    QCOMPARE(f.form.AutoSnapFlag, false);
    QCOMPARE(f.form.windowTitle(), kCaption);
}

void TestLoading::everyNewWindowIsRefused()
{
    Form f;
    QVERIFY(f.browser.emitNewWindowRequest());
    f.open(QStringLiteral("a.test"));
    QVERIFY(f.browser.emitNewWindowRequest());
    QCOMPARE(f.browser.navigated.size(), 1);
}

void TestLoading::welcomePageIsBesideTheProgramOrInstalledUnderShare()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QDir dir(root.path());
    const auto page = [&](const QString &path) {
        QVERIFY(dir.mkpath(QFileInfo(dir.filePath(path)).path()));
        QFile file(dir.filePath(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<html></html>");
    };
    const auto address = [&](const QString &path) {
        return QUrl::fromLocalFile(QFileInfo(dir.filePath(path)).canonicalFilePath()).toString();
    };
    QVERIFY(dir.mkpath(QStringLiteral("prefix/bin")));
    const QString bin = dir.filePath(QStringLiteral("prefix/bin"));

    // Neither there: the public page.
    QCOMPARE(welcomePageAddress(bin), QStringLiteral("https://example.com/"));
    // A folder of that name is no page.
    QVERIFY(dir.mkpath(QStringLiteral("prefix/share/snapvel/welcome.html")));
    QCOMPARE(welcomePageAddress(bin), QStringLiteral("https://example.com/"));
    QVERIFY(dir.rmdir(QStringLiteral("prefix/share/snapvel/welcome.html")));

    // Installed: <prefix>/share/snapvel/ beside <prefix>/bin/.
    page(QStringLiteral("prefix/share/snapvel/welcome.html"));
    QCOMPARE(welcomePageAddress(bin), address(QStringLiteral("prefix/share/snapvel/welcome.html")));
    QVERIFY(welcomePageAddress(bin).startsWith(QStringLiteral("file:///")));
    QVERIFY(!welcomePageAddress(bin).contains(QStringLiteral("..")));

    // A build folder: the page beside the program comes first.
    page(QStringLiteral("prefix/bin/welcome.html"));
    QCOMPARE(welcomePageAddress(bin), address(QStringLiteral("prefix/bin/welcome.html")));
}

void TestLoading::commandLineAddress_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("address");
    QTest::newRow("none") << QStringList{"snapvel"} << "";
    QTest::newRow("empty list") << QStringList{} << "";
    QTest::newRow("address") << QStringList{"snapvel", "https://example.org/"}
                             << "https://example.org/";
    QTest::newRow("bare host") << QStringList{"snapvel", "example.org"} << "example.org";
    QTest::newRow("file") << QStringList{"snapvel", "/home/a/page.html"} << "/home/a/page.html";
    QTest::newRow("blanks around") << QStringList{"snapvel", " example.org\n"} << "example.org";
    QTest::newRow("only blanks") << QStringList{"snapvel", "  "} << "";
    QTest::newRow("later arguments ignored")
        << QStringList{"snapvel", "a.test", "b.test"} << "a.test";
    QTest::newRow("sub-command") << QStringList{"snapvel", "capture", "a.test"} << "";
    QTest::newRow("option") << QStringList{"snapvel", "--help"} << "";
    QTest::newRow("option first") << QStringList{"snapvel", "-o", "a.test"} << "";
}

void TestLoading::commandLineAddress()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, address);
    QCOMPARE(addressFromCommandLine(arguments), address);
}

void TestLoading::promptOffersTheCommandLineAddress()
{
    Form f;
    f.form.setOfferedAddress(QStringLiteral("https://example.org/"));
    f.open(QString());
    f.form.setOfferedAddress(QString());
    f.open(QString());
    QCOMPARE(f.ui.inputs.size(), 2);
    QCOMPARE(f.ui.inputs[0].defaultText, QStringLiteral("https://example.org/"));
    QCOMPARE(f.ui.inputs[1].defaultText, welcomePageAddress());
}

QTEST_MAIN(TestLoading)
#include "tst_loading.moc"
