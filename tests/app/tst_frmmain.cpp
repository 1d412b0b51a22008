// The main window at start-up: controls, menus, stored browser geometry,
// About and Exit.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "app/startupwarning.h"
#include "fakes/formfixture.h"

#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

using namespace snapvel;
using namespace snapvel::test;

class TestFrmMain : public QObject
{
    Q_OBJECT

private slots:
    void controlsAtCreation();
    void menusAtCreation();
    void formLoadStoresTheBrowsersRestingGeometry();
    void timerOpensThePromptOnceAfterASecond();
    void aboutShowsOneBoxAndChangesNothing();
    void exitEndsTheProgramWithoutUnload();
    void closingTheWindowUnloadsIt();
    void startUpWarnsOnceWhenTheBrowserCannotStart();
    void shortcutsDoWhatTheirItemsDoOnlyWhileEnabled();
    void ctrlCCopiesOnlyFromTheViewport();
    void saveWritesBesideTheWindowAndClosingWaitsForIt();
};

void TestFrmMain::controlsAtCreation()
{
    FakeBrowser browser;
    ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});

    QCOMPARE(form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QCOMPARE(form.centralWidget()->size(), QSize(328, 216));
    QVERIFY(!form.windowIcon().isNull());
    QCOMPARE(form.windowIcon().actualSize(QSize(64, 64)), QSize(16, 16));

    // Geometry at creation: twips at 15 per pixel.
    QCOMPARE(form.HScroll1->geometry(), QRect(0, 200, 313, 17));
    QCOMPARE(form.VScroll1->geometry(), QRect(312, 0, 17, 201));
    QCOMPARE(form.Picture2->geometry(), QRect(0, 0, 313, 201));
    QCOMPARE(form.Picture1->geometry(), QRect(0, 0, 310, 197));
    QCOMPARE(form.Command1->geometry(), QRect(312, 200, 17, 17));

    // Containers.
    QCOMPARE(form.Picture1->parentWidget(), form.Picture2);
    QCOMPARE(form.Picture2->parentWidget(), form.centralWidget());
    QCOMPARE(form.Command1->parentWidget(), form.centralWidget());

    // States.
    QVERIFY(!form.HScroll1->isEnabled());
    QVERIFY(!form.VScroll1->isEnabled());
    QVERIFY(!form.Command1->isEnabled());
    QVERIFY(form.Command1->text().isEmpty());
    QVERIFY(form.Picture1->isHidden());
    QVERIFY(!form.Picture2->isHidden());
    QVERIFY(form.Picture1->acceptDrops());
    QVERIFY(form.Picture2->acceptDrops());
    QCOMPARE(form.Timer1->interval(), 1000);
    QVERIFY(form.Timer1->isActive()); // armed by Form_Load
    QCOMPARE(form.AutoSnapFlag, false);

    // Tab order: HScroll1, VScroll1, Command1, Picture2, Picture1.
    QCOMPARE(form.HScroll1->nextInFocusChain(), form.VScroll1);
    QCOMPARE(form.VScroll1->nextInFocusChain(), form.Command1);
    QCOMPARE(form.Command1->nextInFocusChain(), form.Picture2);
    QCOMPARE(form.Picture2->nextInFocusChain(), form.Picture1);

    // Nothing is loaded by the window itself.
    QVERIFY(browser.navigated.isEmpty());
    QVERIFY(!browser.page()->hasDocument());
}

void TestFrmMain::menusAtCreation()
{
    FakeBrowser browser;
    ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});

    const QList<QAction *> top = form.menuBar()->actions();
    QCOMPARE(top.size(), 2);
    QCOMPARE(top[0]->text(), QStringLiteral("File(&F)"));
    QCOMPARE(top[1]->text(), QStringLiteral("About"));

    struct Item
    {
        QString caption;
        bool separator;
        bool enabled;
        QString shortcut;
    };
    const QList<Item> file = {{"Open URL", false, true, "Ctrl+O"},
                              {"Take Snapshot", false, false, "F5"},
                              {"Save as BMP", false, false, "Ctrl+S"},
                              {"Copy to Clipboard", false, false, "Ctrl+Shift+C"},
                              {QString(), true, true, QString()},
                              {"Exit", false, true, "Ctrl+Q"}};
    const QList<QAction *> fileActions = form.mnuFile->actions();
    QCOMPARE(fileActions.size(), file.size());
    for (int i = 0; i < file.size(); ++i) {
        QCOMPARE(fileActions[i]->isSeparator(), file[i].separator);
        QCOMPARE(fileActions[i]->text(), file[i].caption);
        QCOMPARE(fileActions[i]->isEnabled(), file[i].enabled);
        QCOMPARE(fileActions[i]->shortcut().toString(QKeySequence::PortableText), file[i].shortcut);
    }
    QCOMPARE(form.menuAbout->actions().size(), 1);
    QCOMPARE(form.menuA->text(), QStringLiteral("About Snapvel"));
    QVERIFY(form.menuA->isEnabled());
    QVERIFY(form.menuA->shortcut().isEmpty());
}

void TestFrmMain::formLoadStoresTheBrowsersRestingGeometry()
{
    FakeBrowser browser;
    ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});

    const QSize screen = QGuiApplication::primaryScreen()->size();
    QCOMPARE(form.SavedLeft(), 0);
    QCOMPARE(form.SavedTop(), -133);
    QCOMPARE(form.SavedWidth(), screen.width());
    QCOMPARE(form.SavedHeight(), screen.height());
    QCOMPARE(browser.page()->placement(), form.saved());
    // Pages are laid out at the screen's size.
    QCOMPARE(browser.page()->layoutViewport(), screen);
}

void TestFrmMain::timerOpensThePromptOnceAfterASecond()
{
    FakeBrowser browser;
    ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});

    QTest::qWait(500);
    QCOMPARE(ui.inputs.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(ui.inputs.size(), 1, 3000);
    QVERIFY(!form.Timer1->isActive());
    QCOMPARE(ui.inputs[0].prompt,
             QStringLiteral("Please copy the URL you want to take snapshot from"));
    QCOMPARE(ui.inputs[0].title, QStringLiteral("URL"));
    QVERIFY(!ui.inputs[0].defaultText.isEmpty());
    // Cancelled: nothing loads, nothing is armed, and the prompt stays away.
    QTest::qWait(1500);
    QCOMPARE(ui.inputs.size(), 1);
    QVERIFY(browser.navigated.isEmpty());
    QCOMPARE(form.AutoSnapFlag, false);
    QCOMPARE(form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
}

void TestFrmMain::aboutShowsOneBoxAndChangesNothing()
{
    FormFixture f;
    auto &form = f.form;
    auto &ui = f.ui;
    auto &browser = f.browser;

    form.menuA->trigger();
    QCOMPARE(ui.boxes.size(), 1);
    QCOMPARE(ui.boxes[0].style, 0);
    QCOMPARE(ui.boxes[0].title, QStringLiteral("Tarvex Snapvel"));
    QVERIFY(!ui.boxes[0].prompt.isEmpty());
    QCOMPARE(form.windowTitle(), QStringLiteral("Tarvex Snapvel"));
    QVERIFY(!form.mnuPicture->isEnabled());
    QVERIFY(!form.Command1->isEnabled());
    QVERIFY(browser.navigated.isEmpty());
}

void TestFrmMain::exitEndsTheProgramWithoutUnload()
{
    FormFixture f;
    f.form.menuExit->trigger();
    QCOMPARE(f.endProcessCalls, 1);
    QVERIFY(f.ui.boxes.isEmpty());
}

void TestFrmMain::closingTheWindowUnloadsIt()
{
    FormFixture f;
    f.form.show();
    QVERIFY(f.form.close()); // the unload never cancels
    QCOMPARE(f.endProcessCalls, 0);
    QVERIFY(f.ui.boxes.isEmpty());
}

void TestFrmMain::startUpWarnsOnceWhenTheBrowserCannotStart()
{
    const Failure missing{QStringLiteral("The browser could not be started: it is missing."),
                          FailureKind::BrowserLost};
    const ScriptedUiServices::Box warning{
        missing.message + QStringLiteral(" Tarvex Snapvel loads pages with Chromium: install it "
                                         "with \"sudo apt-get install chromium-headless-shell\"."),
        48, QStringLiteral("Tarvex Snapvel")};
    QObject context;
    // Known at once: said from the event loop.
    {
        FakeBrowser browser;
        ScriptedUiServices ui;
        browser.startFailure = missing;
        warnWhenBrowserCannotStart(browser, ui, &context);
        QVERIFY(ui.boxes.isEmpty());
        QTRY_COMPARE(ui.boxes, QList<ScriptedUiServices::Box>{warning});
    }
    // Started, then stopped before it was ready: said once, however often
    // it stops.
    {
        FakeBrowser browser;
        ScriptedUiServices ui;
        warnWhenBrowserCannotStart(browser, ui, &context);
        browser.startFailure = missing;
        browser.stop(missing);
        browser.stop(missing);
        QCOMPARE(ui.boxes, QList<ScriptedUiServices::Box>{warning});
    }
    // Started and stopped later: nothing is said, then or at a later stop.
    {
        FakeBrowser browser;
        ScriptedUiServices ui;
        warnWhenBrowserCannotStart(browser, ui, &context);
        browser.stop(
            {QStringLiteral("The browser stopped unexpectedly."), FailureKind::BrowserLost});
        browser.startFailure = missing;
        browser.stop(missing);
        QTest::qWait(10);
        QVERIFY(ui.boxes.isEmpty());
    }
}

namespace {

// A shown, active window whose browser has a page to capture.
struct ActiveForm : FormFixture
{
    ActiveForm()
    {
        browser.metrics = DocumentMetrics{300, 300, 300, 500, 500, 500};
        form.show();
        form.activateWindow();
    }

    // Takes a capture, which enables Save and Copy.
    void capture()
    {
        browser.emitDownloadComplete();
        form.Command1_Click();
        QVERIFY(QTest::qWaitFor([&] { return !form.isCapturing(); }));
        QVERIFY(form.mnuClipboard->isEnabled());
        ui.boxes.clear();
    }
};

} // namespace

void TestFrmMain::shortcutsDoWhatTheirItemsDoOnlyWhileEnabled()
{
    ActiveForm f;
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    QClipboard *clipboard = QGuiApplication::clipboard();
    int copies = 0;
    // Counted only while this test runs: the context dies with it.
    QObject counting;
    connect(clipboard, &QClipboard::dataChanged, &counting, [&] { ++copies; });

    struct Shortcut
    {
        QAction *item;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        std::function<int()> handled; // how often the item's handler ran
    };
    const QList<Shortcut> shortcuts = {
        {f.form.mnuOpen, Qt::Key_O, Qt::ControlModifier, [&] { return int(f.ui.inputs.size()); }},
        {f.form.mnuPicture, Qt::Key_F5, Qt::NoModifier,
         [&] {
             // A capture ends later: count it once it has.
             (void)QTest::qWaitFor([&] { return !f.form.isCapturing(); });
             return f.browser.paintCalls;
         }},
        {f.form.mnuSave, Qt::Key_S, Qt::ControlModifier,
         [&] { return int(f.ui.saveRequests.size()); }},
        {f.form.mnuClipboard, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier,
         [&] { return copies; }},
        {f.form.menuExit, Qt::Key_Q, Qt::ControlModifier, [&] { return f.endProcessCalls; }},
    };

    // At start-up only Open URL and Exit may act.
    for (const Shortcut &s : shortcuts) {
        const int before = s.handled();
        QTest::keyClick(&f.form, s.key, s.modifiers);
        QCOMPARE(s.handled(), before + (s.item->isEnabled() ? 1 : 0));
    }
    QCOMPARE(f.ui.inputs.size(), 1);
    QCOMPARE(f.endProcessCalls, 1);

    f.capture();
    for (const Shortcut &s : shortcuts) {
        QVERIFY(s.item->isEnabled());
        const int before = s.handled();
        QTest::keyClick(&f.form, s.key, s.modifiers);
        QCOMPARE(s.handled(), before + 1);
        // Disabled with its item.
        s.item->setEnabled(false);
        QTest::keyClick(&f.form, s.key, s.modifiers);
        QCOMPARE(s.handled(), before + 1);
        s.item->setEnabled(true);
    }
    // Each did what its item does.
    QCOMPARE(f.ui.boxes.first(), ScriptedUiServices::doneBox());
    QCOMPARE(f.ui.saveRequests.size(), 1);
    QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32),
             f.form.capture().convertToFormat(QImage::Format_RGB32));
}

void TestFrmMain::ctrlCCopiesOnlyFromTheViewport()
{
    ActiveForm f;
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    QClipboard *clipboard = QGuiApplication::clipboard();
    const auto ctrlC = [&](QWidget *focus) {
        clipboard->setText(QStringLiteral("before"));
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_C, Qt::ControlModifier);
        return !clipboard->image().isNull();
    };

    // No capture yet: Copy to Clipboard is off, and so is Ctrl+C.
    QVERIFY(!ctrlC(f.form.Picture2));
    QCOMPARE(clipboard->text(), QStringLiteral("before"));

    f.capture();
    QVERIFY(ctrlC(f.form.Picture2));
    QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32),
             f.form.capture().convertToFormat(QImage::Format_RGB32));
    QVERIFY(ctrlC(f.form.Picture1)); // the capture inside the viewport
    // Elsewhere in the window Ctrl+C is not Copy to Clipboard.
    QVERIFY(!ctrlC(f.form.VScroll1));
    // It follows the item's state.
    f.form.mnuClipboard->setEnabled(false);
    QVERIFY(!ctrlC(f.form.Picture2));
    f.form.mnuClipboard->setEnabled(true);
    QVERIFY(ctrlC(f.form.Picture2));
}

void TestFrmMain::saveWritesBesideTheWindowAndClosingWaitsForIt()
{
    ActiveForm f;
    f.capture();
    QTemporaryDir folder;
    const ScriptedUiServices::Box saved{QStringLiteral("Saved."), InformationOk,
                                        QStringLiteral("OK")};
    const auto written = [&](const QString &name) {
        return QImage(folder.filePath(name), "BMP").convertToFormat(QImage::Format_RGB32) ==
               f.form.capture().convertToFormat(QImage::Format_RGB32);
    };

    // The file is written while the window goes on: its end is said later,
    // and Save waits for it.
    f.ui.saveAnswers << folder.filePath(QStringLiteral("first"));
    f.form.mnuSave->trigger();
    QVERIFY(f.ui.boxes.isEmpty());
    QVERIFY(f.form.isSaving());
    QVERIFY(!f.form.mnuSave->isEnabled());
    QTRY_COMPARE(f.ui.boxes, QList<ScriptedUiServices::Box>{saved});
    QVERIFY(written(QStringLiteral("first.bmp")));
    QVERIFY(f.form.mnuSave->isEnabled());

    // Closing the window while a file is written finishes it and says so.
    f.ui.boxes.clear();
    f.ui.saveAnswers << folder.filePath(QStringLiteral("second"));
    f.form.mnuSave->trigger();
    QVERIFY(f.form.isSaving());
    f.form.close();
    QVERIFY(!f.form.isSaving());
    QCOMPARE(f.ui.boxes, QList<ScriptedUiServices::Box>{saved});
    QVERIFY(written(QStringLiteral("second.bmp")));
}

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
