#include "app/frmmain.h"

#include "app/picturebox.h"
#include "app/scrollrange.h"
#include "app/twips.h"
#include "loading/address.h"
#include "loading/dropcontent.h"
#include "loading/welcomepage.h"
#include "output/bmpwriter.h"
#include "output/clipboardcopy.h"
#include "output/savecapture.h"
#include "platform/memory.h"
#include "platform/uiservices.h"
#include "snapshot/capturejob.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusBar>
#include <QWheelEvent>
#include <QtConcurrent>

#include <cstdlib>

namespace snapvel {

const QString frmMain::kCaption = QStringLiteral("Tarvex Snapvel");
const QString frmMain::kLoadingCaption = QStringLiteral("Tarvex Snapvel - Loading Page...");

namespace {

const QString kAddressPrompt = QStringLiteral("Please copy the URL you want to take snapshot from");
const QString kAddressTitle = QStringLiteral("URL");
const QString kAboutText =
    QStringLiteral("Tarvex Snapvel turns a web page into one full-length picture.");

// Moves and sizes a control; a negative size is refused and the control
// stays where it was, as while the window is minimised.
void moveControl(QWidget *control, int left, int top, int width, int height)
{
    if (width < 0 || height < 0)
        return;
    control->setGeometry(left, top, width, height);
}

// Scrolls the capture for a key pressed in the viewport, through the bar that
// scrolls that way, so that the offset follows the bars as for any other
// scrolling: arrows by a step, Page Up/Down by a page of the viewport (the
// bars' page step), Home/End to the top and the bottom. Returns whether the
// key is one of these.
bool scrollForKey(QScrollBar *horizontal, QScrollBar *vertical, int key)
{
    QScrollBar *bar = vertical;
    QAbstractSlider::SliderAction action = QAbstractSlider::SliderNoAction;
    switch (key) {
    case Qt::Key_Left:
        bar = horizontal;
        action = QAbstractSlider::SliderSingleStepSub;
        break;
    case Qt::Key_Right:
        bar = horizontal;
        action = QAbstractSlider::SliderSingleStepAdd;
        break;
    case Qt::Key_Up:
        action = QAbstractSlider::SliderSingleStepSub;
        break;
    case Qt::Key_Down:
        action = QAbstractSlider::SliderSingleStepAdd;
        break;
    case Qt::Key_PageUp:
        action = QAbstractSlider::SliderPageStepSub;
        break;
    case Qt::Key_PageDown:
        action = QAbstractSlider::SliderPageStepAdd;
        break;
    case Qt::Key_Home:
        action = QAbstractSlider::SliderToMinimum;
        break;
    case Qt::Key_End:
        action = QAbstractSlider::SliderToMaximum;
        break;
    default:
        return false;
    }
    // A disabled bar does not scroll, by key as by mouse.
    if (bar->isEnabled())
        bar->triggerAction(action);
    return true;
}

} // namespace

frmMain::frmMain(Browser &browser, UiServices &ui, std::function<void()> endProcess,
                 QWidget *parent)
    : QMainWindow(parent), m_browser(browser), m_ui(ui), m_endProcess(std::move(endProcess))
{
    // The page is opened at once, so that the browser prepares it while the
    // user types the first address.
    attachPage(m_browser.openPage());
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(kCaption);
    setWindowIcon(QIcon(QStringLiteral(":/snapvel/icon.bmp")));
    createControls();
    createMenus();
    connectHandlers();
    // The client area at creation; the menu bar comes on top of it and the
    // status bar below it.
    resize(px(4920), px(3240) + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
    Form_Load();
}

frmMain::~frmMain()
{
    // A file being written is finished, whatever ends the window.
    if (m_save)
        m_save->waitForFinished();
}

void frmMain::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->installEventFilter(this);
    setCentralWidget(client);
    client->resize(px(4920), px(3240));

    HScroll1 = new QScrollBar(Qt::Horizontal, client);
    HScroll1->setObjectName(QStringLiteral("HScroll1"));
    HScroll1->setGeometry(px(0), px(3000), px(4695), px(255));
    HScroll1->setEnabled(false);

    VScroll1 = new QScrollBar(Qt::Vertical, client);
    VScroll1->setObjectName(QStringLiteral("VScroll1"));
    VScroll1->setGeometry(px(4680), px(0), px(255), px(3015));
    VScroll1->setEnabled(false);

    for (QScrollBar *bar : {HScroll1, VScroll1}) {
        bar->setFocusPolicy(Qt::StrongFocus);
        bar->setRange(0, 0);
    }

    Picture2 = new PictureBox(client);
    Picture2->setObjectName(QStringLiteral("Picture2"));
    Picture2->setGeometry(px(0), px(0), px(4695), px(3015));
    Picture2->setBackgroundRole(QPalette::Base);
    Picture2->setForegroundRole(QPalette::Text);

    Picture1 = new PictureBox(Picture2);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(px(0), px(0), px(4657), px(2955));
    Picture1->setBackgroundRole(QPalette::WindowText);
    Picture1->setForegroundRole(QPalette::Text);
    Picture1->hide();
    Picture1->installEventFilter(this);
    Picture2->installEventFilter(this);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    Command1 = new QPushButton(client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(px(4680), px(3000), px(255), px(255));
    Command1->setEnabled(false);

    // Browser at rest: above the client area, out of sight.
    m_resting = {px(0), px(-2000), px(3255), px(1455)};
    RestoreBrowser();

    // The capture's progress, and a way to stop it.
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setMaximumWidth(px(3000));
    progressBar->setFormat(QStringLiteral("Capturing: %p%"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    statusBar()->addPermanentWidget(progressBar);
    statusBar()->addPermanentWidget(cancelButton);
    progressBar->hide();
    cancelButton->hide();

    setTabOrder(HScroll1, VScroll1);
    setTabOrder(VScroll1, Command1);
    setTabOrder(Command1, Picture2);
    setTabOrder(Picture2, Picture1);
}

void frmMain::createMenus()
{
    mnuFile = menuBar()->addMenu(QStringLiteral("File(&F)"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    // A shortcut on an item does what the item does, and only while the item
    // is enabled; the menu shows it beside the caption.
    const auto item = [](QMenu *menu, const char *name, const QString &caption, bool enabled,
                         const QKeySequence &shortcut = {}) {
        QAction *action = menu->addAction(caption);
        action->setObjectName(QLatin1String(name));
        action->setEnabled(enabled);
        action->setShortcut(shortcut);
        return action;
    };
    mnuOpen = item(mnuFile, "mnuOpen", QStringLiteral("Open URL"), true,
                   QKeySequence(Qt::CTRL | Qt::Key_O));
    mnuPicture = item(mnuFile, "mnuPicture", QStringLiteral("Take Snapshot"), false,
                      QKeySequence(Qt::Key_F5));
    mnuSave = item(mnuFile, "mnuSave", QStringLiteral("Save as BMP"), false,
                   QKeySequence(Qt::CTRL | Qt::Key_S));
    mnuClipboard = item(mnuFile, "mnuClipboard", QStringLiteral("Copy to Clipboard"), false,
                        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    menuS = mnuFile->addSeparator();
    menuS->setObjectName(QStringLiteral("menuS"));
    menuExit =
        item(mnuFile, "menuExit", QStringLiteral("Exit"), true, QKeySequence(Qt::CTRL | Qt::Key_Q));

    menuAbout = menuBar()->addMenu(QStringLiteral("About"));
    menuAbout->setObjectName(QStringLiteral("menuAbout"));
    menuA = item(menuAbout, "menuA", QStringLiteral("About Snapvel"), true);

    // Ctrl+C copies the capture too while the viewport (or the capture in it)
    // has the focus, as Copy to Clipboard does and only when it may.
    auto *copyFromViewport = new QAction(Picture2);
    copyFromViewport->setObjectName(QStringLiteral("mnuClipboardFromViewport"));
    copyFromViewport->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    copyFromViewport->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    copyFromViewport->setEnabled(mnuClipboard->isEnabled());
    Picture2->addAction(copyFromViewport);
    connect(mnuClipboard, &QAction::enabledChanged, copyFromViewport, &QAction::setEnabled);
    connect(copyFromViewport, &QAction::triggered, mnuClipboard, &QAction::trigger);
}

void frmMain::connectHandlers()
{
    connect(mnuOpen, &QAction::triggered, this, &frmMain::mnuOpen_Click);
    connect(mnuPicture, &QAction::triggered, this, &frmMain::mnuPicture_Click);
    connect(mnuSave, &QAction::triggered, this, &frmMain::mnuSave_Click);
    connect(mnuClipboard, &QAction::triggered, this, &frmMain::mnuClipboard_Click);
    connect(menuExit, &QAction::triggered, this, &frmMain::menuExit_Click);
    connect(menuA, &QAction::triggered, this, &frmMain::menuA_Click);
    connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(Timer1, &QTimer::timeout, this, &frmMain::Timer1_Timer);

    connect(HScroll1, &QScrollBar::sliderMoved, this, &frmMain::HScroll1_Scroll);
    connect(HScroll1, &QScrollBar::valueChanged, this, &frmMain::HScroll1_Change);
    connect(VScroll1, &QScrollBar::sliderMoved, this, &frmMain::VScroll1_Scroll);
    connect(VScroll1, &QScrollBar::valueChanged, this, &frmMain::VScroll1_Change);

    connect(Picture1, &PictureBox::dropped, this, &frmMain::Picture1_OLEDragDrop);
    connect(Picture2, &PictureBox::dropped, this, &frmMain::Picture2_OLEDragDrop);

    connect(cancelButton, &QPushButton::clicked, this, &frmMain::cancelCapture);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &frmMain::cancelCapture);
}

void frmMain::attachPage(Page *page)
{
    // The page replaced says nothing more: a loss it reports late is not
    // the new page's.
    if (WebBrowser1) {
        WebBrowser1->disconnect(this);
        WebBrowser1->deleteLater();
    }
    WebBrowser1 = page;
    connect(page, &Page::downloadComplete, this, &frmMain::WebBrowser1_DownloadComplete);
    connect(page, &Page::documentComplete, this, &frmMain::WebBrowser1_DocumentComplete);
    connect(page, &Page::newWindowRequested, this, &frmMain::WebBrowser1_NewWindow2);
    connect(page, &Page::lost, this, &frmMain::pageLost);
    connect(page, &Page::navigationFailed, this, &frmMain::navigationFailed);
    if (!m_layoutViewport.isEmpty())
        (void)page->setLayoutViewport(m_layoutViewport);
    RestoreBrowser();
}

Page &frmMain::usablePage()
{
    if (WebBrowser1->isLost())
        attachPage(m_browser.openPage());
    return *WebBrowser1;
}

const QImage &frmMain::capture() const
{
    return Picture1->image();
}

// ---------------------------------------------------------------- start-up

void frmMain::Form_Load()
{
    Command1->setEnabled(false);
    VScroll1->setEnabled(false);
    HScroll1->setEnabled(false);

    // The browser lays pages out at the screen's size, as a visible browser
    // on this screen would.
    const QSize screen = QGuiApplication::primaryScreen()->size();
    m_resting.width = screen.width();
    m_resting.height = screen.height();
    m_layoutViewport = screen;
    (void)WebBrowser1->setLayoutViewport(screen);

    AutoSnapFlag = false;
    RestoreBrowser();
    Timer1->start();
}

void frmMain::menuA_Click()
{
    m_ui.messageBox(kAboutText, PlainOk, kCaption);
}

void frmMain::menuExit_Click()
{
    finishSave();
    if (m_endProcess)
        m_endProcess();
    else
        QCoreApplication::exit(0);
}

// ----------------------------------------------------- layout and scrolling

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == centralWidget() && event->type() == QEvent::Resize)
        Form_Resize();
    // The wheel over the viewport scrolls the capture through its bars, so
    // the offset follows the bars as for any other scrolling.
    if ((watched == Picture1 || watched == Picture2) && event->type() == QEvent::Wheel) {
        const QPoint delta = static_cast<QWheelEvent *>(event)->angleDelta();
        QScrollBar *bar = std::abs(delta.x()) > std::abs(delta.y()) ? HScroll1 : VScroll1;
        QCoreApplication::sendEvent(bar, event);
        return true;
    }
    if ((watched == Picture1 || watched == Picture2) && event->type() == QEvent::KeyPress &&
        scrollForKey(HScroll1, VScroll1, static_cast<QKeyEvent *>(event)->key()))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::Form_Resize()
{
    const QWidget *client = centralWidget();
    const int sw = client->width();
    const int sh = client->height();
    moveControl(Picture2, 0, 0, sw - VScroll1->width(), sh - HScroll1->height());
    moveControl(VScroll1, sw - VScroll1->width(), 0, VScroll1->width(), sh - Command1->height());
    moveControl(HScroll1, 0, sh - HScroll1->height(), sw - Command1->width(), HScroll1->height());
    Command1->move(sw - Command1->width(), sh - Command1->height());
    applyScrollRanges();
}

void frmMain::applyScrollRanges()
{
    applyScrollRange(VScroll1, Picture1->height(), Picture2->height());
    applyScrollRange(HScroll1, Picture1->width(), Picture2->width());
}

void frmMain::Form_Unload()
{
    // Nothing to put back: the scroll bars show no focus caret here, and the
    // browser goes with the program. The unload always goes ahead.
}

void frmMain::closeEvent(QCloseEvent *event)
{
    finishSave();
    Form_Unload();
    event->accept();
}

void frmMain::HScroll1_Scroll()
{
    Picture1->move(-HScroll1->sliderPosition(), Picture1->y());
}

void frmMain::HScroll1_Change()
{
    Picture1->move(-HScroll1->value(), Picture1->y());
}

void frmMain::VScroll1_Scroll()
{
    Picture1->move(Picture1->x(), -VScroll1->sliderPosition());
}

void frmMain::VScroll1_Change()
{
    Picture1->move(Picture1->x(), -VScroll1->value());
}

// ---------------------------------------------------------------- loading

void frmMain::Timer1_Timer()
{
    Timer1->stop();
    mnuOpen_Click();
}

void frmMain::mnuOpen_Click()
{
    // A new address replaces whatever is being captured.
    cancelCapture();
    const QString offered = m_offeredAddress.isEmpty() ? welcomePageAddress() : m_offeredAddress;
    const QString answer = m_ui.inputBox(kAddressPrompt, kAddressTitle, offered);
    if (answer.isEmpty())
        return;
    navigate(answer);
    // Armed even when the address could not be loaded: a page that still
    // completes is captured.
    AutoSnapFlag = true;
}

void frmMain::navigate(const QString &address)
{
    // Text that would run script in the loaded page is never loaded, nor is
    // text the browser refuses as an address: both say why. Other failures
    // to start a load (the browser is gone) leave things as they are; the
    // page's loss says why, and the user can retry.
    if (isScriptAddress(address)) {
        m_ui.messageBox(scriptAddressRefusal(), ExclamationOk, kCaption);
        return;
    }
    const Status started = usablePage().navigate(address);
    if (!started && started.kind() == FailureKind::Other)
        m_ui.messageBox(started.error(), ExclamationOk, kCaption);
}

void frmMain::mnuPicture_Click()
{
    Command1_Click();
}

void frmMain::WebBrowser1_DownloadComplete()
{
    QCoreApplication::processEvents();
    // While a capture runs, they come back on when it ends.
    m_captureCommandsEnabled = true;
    if (!isCapturing())
        setCaptureCommandsEnabled(true);
    WebBrowser1->hideScrollbars();
    if (!AutoSnapFlag)
        return;
    setWindowTitle(kLoadingCaption);
}

void frmMain::WebBrowser1_DocumentComplete(bool topLevel)
{
    if (!AutoSnapFlag)
        return;
    WebBrowser1->hideScrollbars();
    if (!topLevel)
        return;
    Command1_Click();
}

void frmMain::WebBrowser1_NewWindow2(bool *cancel)
{
    if (cancel)
        *cancel = true;
}

void frmMain::Picture1_OLEDragDrop(const QMimeData *data)
{
    OLEDragDrop(data);
}

void frmMain::Picture2_OLEDragDrop(const QMimeData *data)
{
    OLEDragDrop(data);
}

void frmMain::OLEDragDrop(const QMimeData *data)
{
    const DropContent drop = dropContentOf(data);
    switch (drop.kind) {
    case DropContent::Kind::OpenFile:
        // Whether the file could be opened is the desktop's business.
        m_ui.openWithRegisteredApplication(drop.value);
        break;
    case DropContent::Kind::Navigate:
        navigate(drop.value);
        break;
    case DropContent::Kind::Nothing:
        break;
    }
}

// ---------------------------------------------------------------- capture

void frmMain::Command1_Click()
{
    // Captures never nest: a request while one runs is ignored.
    if (isCapturing())
        return;
    m_captureCommandsEnabled = Command1->isEnabled() || mnuPicture->isEnabled();
    setCaptureCommandsEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    progressBar->setRange(0, 0);
    progressBar->show();
    cancelButton->show();

    CaptureOptions options;
    // Counted when the capture starts; the picture shown until then is part
    // of what the rest of the budget leaves room for.
    options.maxPictureBytes = pictureMemoryBudget(availableMemoryBytes());
    m_job = new CaptureJob(*WebBrowser1, std::move(options), this);
    connect(m_job, &CaptureJob::progress, progressBar, [this](int band, int bands) {
        progressBar->setRange(0, bands);
        progressBar->setValue(band);
    });
    connect(m_job, &CaptureJob::taken, this, &frmMain::captureTaken);
    connect(m_job, &CaptureJob::failed, this, &frmMain::captureFailed);
    m_job->start();
}

bool frmMain::isCapturing() const
{
    return m_job != nullptr;
}

void frmMain::captureTaken(const QImage &image)
{
    // The new capture replaces the shown one only once it is complete, so a
    // failed capture never destroys one the user has not saved.
    Picture1->setImage(image);
    applyScrollRanges();
    Picture1->show();
    mnuSave->setEnabled(!isSaving());
    mnuClipboard->setEnabled(true);
    endCapture();
    m_ui.messageBox(QStringLiteral("Done."), PlainOk, QStringLiteral("Done."));
}

void frmMain::captureFailed(const Failure &why)
{
    endCapture();
    m_ui.messageBox(QStringLiteral("Capture failed: ") + why.message, ExclamationOk, kCaption);
}

void frmMain::cancelCapture()
{
    if (!isCapturing())
        return;
    m_job->disconnect(this);
    m_job->cancel();
    endCapture();
}

void frmMain::endCapture()
{
    if (m_job) {
        m_job->disconnect(this);
        m_job->deleteLater();
        m_job = nullptr;
    }
    RestoreBrowser();
    setWindowTitle(kCaption);
    AutoSnapFlag = false;
    progressBar->hide();
    cancelButton->hide();
    QApplication::restoreOverrideCursor();
    setCaptureCommandsEnabled(m_captureCommandsEnabled);
}

void frmMain::setCaptureCommandsEnabled(bool enabled)
{
    Command1->setEnabled(enabled);
    mnuPicture->setEnabled(enabled);
}

void frmMain::pageLost(const Failure &why)
{
    // The page being loaded for a capture is gone: said as for a load that
    // failed.
    navigationFailed(why);
}

void frmMain::navigationFailed(const Failure &why)
{
    // A capture that was running reports a loss itself, and is of the
    // document that stays.
    if (isCapturing() || !AutoSnapFlag)
        return;
    // Nothing is coming to be captured: say so now rather than leave the
    // loading caption up for good. The page stays for the next address.
    setWindowTitle(kCaption);
    AutoSnapFlag = false;
    m_ui.messageBox(QStringLiteral("Capture failed: ") + why.message, ExclamationOk, kCaption);
}

void frmMain::RestoreBrowser()
{
    if (WebBrowser1)
        (void)WebBrowser1->setPlacement(m_resting);
}

// ----------------------------------------------------------------- output

void frmMain::mnuSave_Click()
{
    if (isSaving())
        return;
    const QString path = askWhereToSaveBmp(m_ui);
    if (path.isEmpty())
        return;
    // Written on a worker thread, so that the window keeps painting and
    // scrolling while a tall capture goes to a slow disk. The picture is
    // shared: a capture taken meanwhile does not change what is written.
    m_save = QtConcurrent::run([image = capture(), path] { return saveBmp(image, path); });
    mnuSave->setEnabled(false);
    auto *watcher = new QFutureWatcher<Status>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, save = ++m_saves] {
        watcher->deleteLater();
        // Not when a wait has said this save's end already and another
        // save has begun since.
        if (save == m_saves)
            saveEnded();
    });
    watcher->setFuture(*m_save);
}

bool frmMain::isSaving() const
{
    return m_save.has_value();
}

void frmMain::saveEnded()
{
    // Said once: by whichever comes first of the save's end and a wait for
    // it.
    if (!m_save)
        return;
    const Status saved = m_save->result();
    m_save.reset();
    mnuSave->setEnabled(!capture().isNull());
    reportSave(m_ui, saved);
}

void frmMain::finishSave()
{
    if (!m_save)
        return;
    m_save->waitForFinished();
    saveEnded();
}

void frmMain::mnuClipboard_Click()
{
    if (const Status copied = copyToClipboard(QGuiApplication::clipboard(), capture()); !copied)
        m_ui.messageBox(copied.error(), ExclamationOk, kCaption);
}

} // namespace snapvel
