#pragma once

#include "platform/browser.h"
#include "snapshot/pagecapture.h"

#include <QMainWindow>
#include <QMimeData>
#include <QTimer>

#include <functional>

class QAction;
class QMenu;
class QPushButton;
class QScrollBar;

namespace snapvel {

class PictureBox;
class UiServices;

// The main window. It holds the scrolled viewport with the capture, the menus,
// and the handlers that tie the browser, the capture and the output together.
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

    // The capture.
    void Command1_Click();

    // Output.
    void mnuSave_Click();
    void mnuClipboard_Click();

    // The capture's two halves around the painting.
    Result<QSize> FitBrowserToPage();
    void RestoreBrowser();

    // State the handlers share: the pending-capture flag, and the browser's
    // resting placement, stored once at start-up.
    bool AutoSnapFlag = false;
    Placement saved() const { return m_capture.restingPlacement(); }
    int SavedLeft() const { return saved().left; }
    int SavedTop() const { return saved().top; }
    int SavedWidth() const { return saved().width; }
    int SavedHeight() const { return saved().height; }
    bool isCapturing() const { return m_capturing; }
    const QImage &capture() const;

    // The controls, under their own names.
    QScrollBar *HScroll1 = nullptr;
    QScrollBar *VScroll1 = nullptr;
    PictureBox *Picture2 = nullptr;
    PictureBox *Picture1 = nullptr;
    QTimer *Timer1 = nullptr;
    QPushButton *Command1 = nullptr;
    Browser &WebBrowser1;

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

    UiServices &m_ui;
    std::function<void()> m_endProcess;
    PageCapture m_capture;
    bool m_capturing = false;
};

} // namespace snapvel
