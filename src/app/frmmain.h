#pragma once

#include "platform/browser.h"

#include <QFuture>
#include <QPointer>

#include <QMainWindow>
#include <QMimeData>
#include <QTimer>

#include <functional>
#include <optional>

class QAction;
class QMenu;
class QProgressBar;
class QPushButton;
class QScrollBar;

namespace snapvel {

class CaptureJob;
class PictureBox;
class UiServices;

// The main window. It holds the scrolled viewport with the capture, the menus,
// and the handlers that tie the browser, the capture and the output together.
//
// Nothing here waits for the browser: loading and capturing run in the
// background while the window repaints, scrolls and opens its menus. A
// capture shows its progress in the status bar and can be cancelled with Esc
// or the Cancel button beside the bar.
class frmMain : public QMainWindow
{
    Q_OBJECT

public:
    // endProcess ends the program at once (File > Exit); the default leaves
    // the application's event loop.
    frmMain(Browser &browser, UiServices &ui, std::function<void()> endProcess = {},
            QWidget *parent = nullptr);
    ~frmMain() override;

    static const QString kCaption;
    static const QString kLoadingCaption;

    // The address the address prompt offers instead of the welcome page (one
    // given on the command line); "" offers the welcome page.
    void setOfferedAddress(const QString &address) { m_offeredAddress = address; }

    // Start-up, About, Exit.
    void Form_Load();
    void menuA_Click();
    void menuExit_Click();

    // Layout and scrolling.
    void Form_Resize();
    void Form_Unload();
    void HScroll1_Scroll();
    void HScroll1_Change();
    void VScroll1_Scroll();
    void VScroll1_Change();

    // Loading pages.
    void Timer1_Timer();
    void mnuOpen_Click();
    void mnuPicture_Click();
    void WebBrowser1_DownloadComplete();
    void WebBrowser1_DocumentComplete(bool topLevel);
    void WebBrowser1_NewWindow2(bool *cancel);
    void Picture1_OLEDragDrop(const QMimeData *data);
    void Picture2_OLEDragDrop(const QMimeData *data);

    // The capture: starts it; it ends later, in the background.
    void Command1_Click();
    // Stops a running capture: the earlier capture stays, nothing is said.
    void cancelCapture();

    // Output.
    void mnuSave_Click();
    void mnuClipboard_Click();

    // Puts the browser back at its resting placement after a capture (the
    // capture moved it to the page's size).
    void RestoreBrowser();

    // State the handlers share: the pending-capture flag, and the browser's
    // resting placement, stored once at start-up.
    bool AutoSnapFlag = false;
    Placement saved() const { return m_resting; }
    int SavedLeft() const { return saved().left; }
    int SavedTop() const { return saved().top; }
    int SavedWidth() const { return saved().width; }
    int SavedHeight() const { return saved().height; }
    bool isCapturing() const;
    // Whether a save's file is being written (or its end not yet said).
    bool isSaving() const;
    const QImage &capture() const;

    // The controls, under their own names.
    QScrollBar *HScroll1 = nullptr;
    QScrollBar *VScroll1 = nullptr;
    PictureBox *Picture2 = nullptr;
    PictureBox *Picture1 = nullptr;
    QTimer *Timer1 = nullptr;
    QPushButton *Command1 = nullptr;
    // The browser's page that is loaded and captured. A lost page (its
    // renderer crashed, the browser stopped) stays until the next address
    // is loaded into a fresh one, so that a capture of it says what
    // happened.
    Page *WebBrowser1 = nullptr;
    // The capture's progress, under the client area.
    QProgressBar *progressBar = nullptr;
    QPushButton *cancelButton = nullptr;

    QMenu *mnuFile = nullptr;
    QAction *mnuOpen = nullptr;
    QAction *mnuPicture = nullptr;
    QAction *mnuSave = nullptr;
    QAction *mnuClipboard = nullptr;
    QAction *menuS = nullptr;
    QAction *menuExit = nullptr;
    QMenu *menuAbout = nullptr;
    QAction *menuA = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void createMenus();
    void connectHandlers();
    void applyScrollRanges();
    void OLEDragDrop(const QMimeData *data);
    void navigate(const QString &address);
    // The page to load into: the current one, or a fresh one in place of a
    // lost one.
    Page &usablePage();
    void attachPage(Page *page);
    void pageLost(const Failure &why);
    // The address being loaded ended without a document (a download).
    void navigationFailed(const Failure &why);
    void captureTaken(const QImage &image);
    void captureFailed(const Failure &why);
    // Everything a capture's end puts back, however it ended.
    void endCapture();
    void setCaptureCommandsEnabled(bool enabled);
    // A save under way is written to its end and said; the window's end
    // waits for it.
    void finishSave();
    void saveEnded();

    Browser &m_browser;
    UiServices &m_ui;
    std::function<void()> m_endProcess;
    QString m_offeredAddress;
    // The browser's resting placement and the layout viewport, given to
    // every page.
    Placement m_resting;
    QSize m_layoutViewport;
    QPointer<CaptureJob> m_job;
    // Take Snapshot and the corner button were enabled when the capture
    // began (a page's download may enable them meanwhile, too).
    bool m_captureCommandsEnabled = false;
    // The file being saved, until its end has been said.
    std::optional<QFuture<Status>> m_save;
    int m_saves = 0; // how many were begun
};

} // namespace snapvel
