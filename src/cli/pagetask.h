#pragma once

#include <functional>

#include "cli/options.h"
#include "platform/browser.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace snapvel {
class Browser;
class CaptureJob;
} // namespace snapvel

namespace snapvel::cli {

class CaptureGate;

// One page of a batch: its number (from 1), its address as given, what is
// loaded for it, and where its picture goes.
struct PageOrder
{
    int number = 0;
    QString address;
    QString location;
    QString path;
};

// Where a page is on its way from address to file.
enum class PagePhase
{
    Loading,
    Settling, // waiting for the network to go quiet, or the delay
    Measuring,
    WaitingForMemory,
    Painting,
    Writing,
    Finished,
};

// How long each phase took, in milliseconds; -1 for one that did not run.
// `wait` is the time spent waiting for its turn to paint, while other pages
// of the batch painted or held the memory; `total` is the page's own time,
// from opening it to its file, without that wait.
struct PageTimes
{
    qint64 load = -1;
    qint64 settle = -1;
    qint64 measure = -1;
    qint64 wait = -1;
    qint64 paint = -1;
    qint64 decode = -1;
    qint64 write = -1;
    qint64 total = -1;
};

// Takes one page from its address to its file: opens a page of the browser
// (or takes one a finished capture gave up) laid out at the chosen viewport,
// loads the address and waits for it as asked, waits until the capture gate
// has memory for its picture, captures it, gives the page up and writes the
// file on a worker thread. Ends once with finished(); nothing is written for
// a page that fails.
class PageTask : public QObject
{
    Q_OBJECT

public:
    PageTask(Browser &browser, const CaptureSettings &settings, CaptureGate &gate, PageOrder order,
             QObject *parent = nullptr);
    ~PageTask() override;

    // Takes over the browser's page once the capture is done, for another
    // address; without a taker, the page is closed then.
    using PageTaker = std::function<void(Page *)>;
    void setPageTaker(PageTaker taker) { m_pageTaker = std::move(taker); }
    // Loads the address in `page` when given (one a taker took over),
    // otherwise in a fresh page of the browser.
    void start(Page *page = nullptr);

    const PageOrder &order() const { return m_order; }
    PagePhase phase() const { return m_phase; }
    // The band being painted (from 1) and how many there are; 0 before.
    int band() const { return m_band; }
    int bands() const { return m_bands; }

    bool succeeded() const { return m_phase == PagePhase::Finished && !m_failure; }
    const std::optional<Failure> &failure() const { return m_failure; }
    QSize pictureSize() const { return m_pictureSize; }
    const PageTimes &times() const { return m_times; }
    // Something the user should know about a picture that was taken anyway.
    const QString &note() const { return m_note; }

signals:
    // The phase or the band changed.
    void changed();
    void finished();

private:
    void setPhase(PagePhase phase);
    void documentCompleted(bool topLevel);
    // The page replaced its document before its capture began: it is loaded,
    // settled and measured again.
    void documentReplaced();
    void settle();
    CapturePreparation preparation() const;
    void prepare();
    // Adds to what the finished line says about the capture (cleared with
    // everything else when the page replaces its document).
    void addNote(const QString &note);
    void measure();
    void capture(qint64 maxPictureBytes);
    void write(const QImage &image);
    void writeEncoded(const QByteArray &png, QSize size);
    // Writes the file on a worker thread, then goes on with written().
    void writeOnWorker(QSize pictureSize, std::function<Status()> writeFile);
    void written(const Status &status);
    void fail(const Failure &why);
    void finish();
    void closePage();

    Browser &m_browser;
    const CaptureSettings &m_settings;
    CaptureGate &m_gate;
    PageOrder m_order;
    PageTaker m_pageTaker;
    PagePhase m_phase = PagePhase::Loading;
    QPointer<Page> m_page;
    QPointer<CaptureJob> m_job;
    QTimer m_loadDeadline;
    QElapsedTimer m_clock;
    QElapsedTimer m_phaseClock;
    int m_ticket = 0;
    int m_replacements = 0;
    int m_band = 0;
    int m_bands = 0;
    QSize m_pictureSize;
    PageTimes m_times;
    QString m_note;
    std::optional<Failure> m_failure;
    // Guards callbacks that arrive after the task has been destroyed.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace snapvel::cli
