#include "cli/batchrunner.h"

#include "cli/progressprinter.h"
#include "platform/memory.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace snapvel::cli {

namespace {

constexpr qint64 kUnknownMemoryBudget = qint64(1) << 30;

} // namespace

qint64 pictureBudgetFor(const CaptureSettings &settings, qint64 availableBytes)
{
    if (settings.memoryBudget > 0)
        return settings.memoryBudget;
    const qint64 budget = pictureMemoryBudget(availableBytes);
    return budget > 0 ? budget : kUnknownMemoryBudget;
}

BatchRunner::BatchRunner(Browser &browser, const CaptureSettings &settings, QList<PageOrder> orders,
                         ProgressPrinter &printer, QObject *parent)
    : QObject(parent), m_browser(browser), m_settings(settings), m_orders(std::move(orders)),
      m_printer(printer), m_gate(settings.jobs, settings.memoryBudget)
{
}

BatchRunner::~BatchRunner()
{
    // Tasks give their memory back to the gate, which they refer to.
    qDeleteAll(m_running);
    closeFreePages();
}

void BatchRunner::start()
{
    if (m_finished)
        return;
    m_clock.start();
    m_waiting = m_orders;
    startMore();
}

void BatchRunner::startMore()
{
    // A page whose file is being written has given its browser page back:
    // it no longer counts against those loading and painting.
    const auto inBrowser = [this] {
        return std::count_if(m_running.cbegin(), m_running.cend(), [](const PageTask *task) {
            return task->phase() != PagePhase::Writing;
        });
    };
    while (!m_waiting.isEmpty() && inBrowser() < m_settings.jobs + 1) {
        auto *task = new PageTask(m_browser, m_settings, m_gate, m_waiting.takeFirst(), this);
        m_running << task;
        connect(task, &PageTask::changed, this, [this, task] {
            m_printer.pageChanged(*task);
            if (task->phase() == PagePhase::Writing)
                QTimer::singleShot(0, this, &BatchRunner::startMore);
        });
        task->setPageTaker([this](Page *page) { keepFreePage(page); });
        connect(task, &PageTask::finished, this, [this, task] { taskFinished(task); });
        Page *page = m_freePages.isEmpty() ? nullptr : m_freePages.takeFirst();
        if (page)
            disconnect(page, nullptr, this, nullptr);
        task->start(page);
    }
    // Nothing left to load: the browser frees what the pages hold.
    if (m_waiting.isEmpty())
        closeFreePages();
    if (m_running.isEmpty() && !m_finished) {
        m_finished = true;
        if (m_stopped)
            m_printer.batchStopped(m_captured);
        else
            m_printer.batchFinished(m_captured, m_failed, m_clock.elapsed());
        QMetaObject::invokeMethod(this, &BatchRunner::finished, Qt::QueuedConnection);
    }
}

bool BatchRunner::stop()
{
    if (m_finished || m_stopped)
        return false;
    m_stopped = true;
    m_waiting.clear();
    QList<PageTask *> writing;
    for (PageTask *task : std::exchange(m_running, {})) {
        if (task->phase() == PagePhase::Writing) {
            writing << task;
            continue;
        }
        disconnect(task, nullptr, this, nullptr);
        m_printer.pageAbandoned(*task);
        delete task; // closes its browser page and gives its memory back
    }
    m_running = writing;
    closeFreePages();
    startMore(); // finishes at once when no file is being written
    return true;
}

void BatchRunner::keepFreePage(Page *page)
{
    if (page->isLost() || m_waiting.isEmpty()) {
        page->deleteLater();
        return;
    }
    m_freePages << page;
    // A page lost while it waits is not given to the next address.
    connect(page, &Page::lost, this, [this, page] {
        m_freePages.removeOne(page);
        page->deleteLater();
    });
}

void BatchRunner::closeFreePages()
{
    for (Page *page : std::exchange(m_freePages, {})) {
        disconnect(page, nullptr, this, nullptr);
        page->deleteLater();
    }
}

void BatchRunner::taskFinished(PageTask *task)
{
    m_running.removeOne(task);
    task->deleteLater();
    const PageOrder &order = task->order();
    if (!m_stopped && task->failure() && task->failure()->kind == FailureKind::BrowserLost &&
        !m_retried.contains(order.number) && m_browser.startStatus()) {
        m_retried << order.number;
        // Back in its place among the pages still waiting.
        const auto later =
            std::find_if(m_waiting.begin(), m_waiting.end(),
                         [&order](const PageOrder &w) { return w.number > order.number; });
        m_waiting.insert(later, order);
        m_printer.pageRetried(*task);
    } else if (task->succeeded()) {
        ++m_captured;
        m_printer.pageFinished(*task);
    } else {
        ++m_failed;
        m_printer.pageFinished(*task);
    }
    // Not from inside the task's own signal.
    QTimer::singleShot(0, this, &BatchRunner::startMore);
}

} // namespace snapvel::cli
