#pragma once

#include "cli/capturegate.h"
#include "cli/options.h"
#include "cli/pagetask.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>

namespace snapvel {
class Browser;
class Page;
} // namespace snapvel

namespace snapvel::cli {

class ProgressPrinter;

// Captures the pages of a batch with one browser. Up to `jobs` pages are
// captured at once, within the memory budget (see CaptureGate), and one more
// page loads ahead, so the browser loads the next page while the others
// paint. The next address loads in a browser page whose capture is done,
// since a fresh page costs the browser a window and its compositor. A page
// lost because the browser itself stopped is tried once more with the
// browser started afresh. Ends with finished(), also after stop().
class BatchRunner : public QObject
{
    Q_OBJECT

public:
    BatchRunner(Browser &browser, const CaptureSettings &settings, QList<PageOrder> orders,
                ProgressPrinter &printer, QObject *parent = nullptr);
    ~BatchRunner() override;

    void start();
    // Ends the batch early, as when the user interrupts it: no further page
    // starts and those loading or painting are given up, but the files being
    // written are finished and reported, so that no page written is left
    // out of the count. Returns false when the batch was already stopping
    // or finished.
    bool stop();

    ProgressPrinter *printer() const { return &m_printer; }
    bool isFinished() const { return m_finished; }
    bool wasStopped() const { return m_stopped; }
    int captured() const { return m_captured; }
    int failed() const { return m_failed; }

signals:
    void finished();

private:
    void startMore();
    void taskFinished(PageTask *task);
    void keepFreePage(Page *page);
    void closeFreePages();

    Browser &m_browser;
    const CaptureSettings &m_settings;
    QList<PageOrder> m_orders;
    ProgressPrinter &m_printer;
    CaptureGate m_gate;
    QList<PageOrder> m_waiting;
    QList<PageTask *> m_running;
    QList<Page *> m_freePages; // captured, ready for another address
    QList<int> m_retried;      // numbers of pages already tried again
    QElapsedTimer m_clock;
    int m_captured = 0;
    int m_failed = 0;
    bool m_finished = false;
    bool m_stopped = false;
};

// The memory the pictures of a run may take at once: what --memory says, or
// half of what the system has available (the browser holds its own copy of
// each picture while painting it); 1 GiB when that cannot be told.
qint64 pictureBudgetFor(const CaptureSettings &settings, qint64 availableBytes);

} // namespace snapvel::cli
