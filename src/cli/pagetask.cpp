#include "cli/pagetask.h"

#include "cli/capturearea.h"
#include "cli/capturegate.h"
#include "cli/outputformat.h"
#include "cli/picturewriter.h"
#include "snapshot/capturejob.h"

#include <QFutureWatcher>
#include <QtConcurrent>

#include <cmath>

namespace snapvel::cli {

namespace {

QString seconds(std::chrono::milliseconds duration)
{
    const QString number = QString::number(double(duration.count()) / 1000.0, 'g', 4);
    return number +
           (number == QLatin1String("1") ? QStringLiteral(" second") : QStringLiteral(" seconds"));
}

QString megabytes(qint64 bytes)
{
    return QString::number((bytes + 1024 * 1024 - 1) / (1024 * 1024));
}

} // namespace

PageTask::PageTask(Browser &browser, const CaptureSettings &settings, CaptureGate &gate,
                   PageOrder order, QObject *parent)
    : QObject(parent), m_browser(browser), m_settings(settings), m_gate(gate),
      m_order(std::move(order))
{
    m_loadDeadline.setSingleShot(true);
    connect(&m_loadDeadline, &QTimer::timeout, this, [this] {
        fail({QStringLiteral("The page did not finish loading within %1.")
                  .arg(seconds(m_settings.timeout)),
              FailureKind::Timeout});
    });
}

PageTask::~PageTask()
{
    *m_alive = false;
    if (m_ticket)
        m_gate.withdraw(m_ticket);
    closePage();
}

void PageTask::start(Page *page)
{
    m_clock.start();
    m_phaseClock.start();
    m_page = page ? page : m_browser.openPage();
    connect(m_page, &Page::lost, this, [this](const Failure &why) {
        // A running capture reports the loss itself.
        if (!(m_job && m_job->isRunning()))
            fail(why);
    });
    // A page of a batch opens no windows.
    connect(m_page, &Page::newWindowRequested, this, [](bool *cancel) { *cancel = true; });
    connect(m_page, &Page::documentComplete, this, &PageTask::documentCompleted);
    // A download or an answer with nothing to show: no document is coming.
    connect(m_page, &Page::navigationFailed, this, [this](const Failure &why) {
        if (m_phase == PagePhase::Loading)
            fail(why);
    });
    connect(m_page, &Page::documentReplaced, this, &PageTask::documentReplaced);

    if (Status laidOut = m_page->setLayoutViewport(m_settings.viewport, m_settings.scale);
        !laidOut) {
        fail(laidOut.failure());
        return;
    }
    m_loadDeadline.start(m_settings.timeout);
    if (Status navigated = m_page->navigate(m_order.location); !navigated)
        fail(navigated.failure());
}

void PageTask::setPhase(PagePhase phase)
{
    m_phase = phase;
    m_phaseClock.restart();
    emit changed();
}

void PageTask::documentCompleted(bool topLevel)
{
    if (!topLevel || m_phase != PagePhase::Loading)
        return;
    m_loadDeadline.stop();
    m_times.load = m_phaseClock.elapsed();
    // The browser's own error page is not the page asked for.
    if (const QString error = m_page->documentError(); !error.isEmpty()) {
        fail(Failure{error});
        return;
    }
    settle();
}

void PageTask::documentReplaced()
{
    // While loading, the new document's completion is awaited anyway; while
    // painting, the capture starts over by itself.
    if (m_phase != PagePhase::Settling && m_phase != PagePhase::Measuring &&
        m_phase != PagePhase::WaitingForMemory)
        return;
    // Counted apart from those during the capture, which has its own bound.
    if (++m_replacements > kMostDocumentReplacements) {
        fail(replacedTooOften());
        return;
    }
    // What was under way is of the document that is gone.
    m_alive = std::make_shared<bool>(true);
    if (m_ticket) {
        m_gate.withdraw(m_ticket);
        m_ticket = 0;
    }
    m_note.clear();
    setPhase(PagePhase::Loading);
    m_loadDeadline.start(m_settings.timeout);
}

void PageTask::settle()
{
    setPhase(PagePhase::Settling);
    const std::weak_ptr<bool> alive = m_alive;
    auto afterQuiet = [this, alive] {
        if (alive.expired() || m_phase != PagePhase::Settling)
            return;
        if (m_settings.delay.count() <= 0) {
            prepare();
            return;
        }
        QTimer::singleShot(m_settings.delay, this, [this, alive] {
            if (!alive.expired() && m_phase == PagePhase::Settling)
                prepare();
        });
    };
    if (m_settings.waitFor != WaitFor::NetworkIdle) {
        afterQuiet();
        return;
    }
    // The network may take what the timeout has left after the load.
    const auto left = std::max(std::chrono::milliseconds(0),
                               m_settings.timeout - std::chrono::milliseconds(m_clock.elapsed()));
    m_page->waitForNetworkIdle(left, [this, alive, afterQuiet](Result<bool> quiet) {
        if (alive.expired() || m_phase != PagePhase::Settling)
            return;
        if (!quiet) {
            fail(quiet.failure());
            return;
        }
        if (!quiet.value())
            addNote(QStringLiteral("the network was still busy after %1")
                        .arg(seconds(m_settings.timeout)));
        afterQuiet();
    });
}

CapturePreparation PageTask::preparation() const
{
    CapturePreparation preparation;
    preparation.expandScroller = m_settings.expandScroller && !m_settings.viewportOnly;
    // A script can wait longer than a person at the window.
    preparation.networkTimeout = std::chrono::seconds(5);
    preparation.fontsTimeout = std::chrono::seconds(5);
    preparation.animationsTimeout = std::chrono::seconds(3);
    preparation.scrollThroughTimeout = std::chrono::seconds(3);
    preparation.framesTimeout = std::chrono::seconds(10);
    if (m_settings.viewportOnly) {
        preparation.revealContent = false;
        preparation.paintFrames = false;
    }
    return preparation;
}

void PageTask::prepare()
{
    // Prepared here, as part of settling, and not again by the capture, so
    // that the page is measured for the gate as it will be painted.
    const std::weak_ptr<bool> alive = m_alive;
    m_page->prepareForCapture(preparation(), [this, alive](Result<bool> prepared) {
        if (alive.expired() || m_phase != PagePhase::Settling)
            return;
        if (!prepared) {
            fail(prepared.failure());
            return;
        }
        if (!prepared.value() && m_note.isEmpty())
            addNote(QStringLiteral("some of the page was still loading when it was captured"));
        measure();
    });
}

void PageTask::addNote(const QString &note)
{
    m_note += (m_note.isEmpty() ? QString() : QStringLiteral("; ")) + note;
}

void PageTask::measure()
{
    m_times.settle = m_phaseClock.elapsed();
    setPhase(PagePhase::Measuring);
    // Measured before the capture so that the gate knows how much memory
    // the picture will take; the capture measures again, for the picture.
    const std::weak_ptr<bool> alive = m_alive;
    m_page->measureDocument([this, alive](Result<DocumentMetrics> metrics) {
        if (alive.expired() || m_phase != PagePhase::Measuring)
            return;
        if (!metrics) {
            if (metrics.kind() == FailureKind::Replaced)
                documentReplaced();
            else
                fail(metrics.failure());
            return;
        }
        m_times.measure = m_phaseClock.elapsed();
        // An error page of the site's own is captured as shown, and said.
        if (const int status = metrics.value().responseStatus; status >= 400)
            addNote(QStringLiteral("the server answered with HTTP status %1").arg(status));
        const QSize area =
            captureAreaFor(metrics.value(), m_settings.viewport, m_settings.viewportOnly);
        const PictureSize picture = pictureSizeFor(area, m_settings.scale);
        const qint64 bytes = picture.bytes();
        // Refused before painting when the file could not hold the picture.
        if (const QString tooLarge =
                sideLimitExceeded(m_settings.format, picture.width, picture.height);
            !tooLarge.isEmpty()) {
            fail({tooLarge + QLatin1Char('.'), FailureKind::TooLarge});
            return;
        }
        if (!m_gate.fitsBudget(bytes)) {
            fail({QStringLiteral("The page is too large to capture: its picture (%1 x %2 pixels) "
                                 "would take %3 MB, more than the %4 MB this run may use for "
                                 "pictures (see --memory).")
                      .arg(picture.width)
                      .arg(picture.height)
                      .arg(megabytes(bytes), megabytes(m_gate.budget())),
                  FailureKind::TooLarge});
            return;
        }
        const CaptureGate::Reservation reservation = m_gate.reservationFor(bytes);
        setPhase(PagePhase::WaitingForMemory);
        m_ticket = m_gate.request(reservation.bytes,
                                  [this, max = reservation.maxPictureBytes](int ticket) {
                                      m_ticket = ticket;
                                      capture(max);
                                  });
    });
}

void PageTask::capture(qint64 maxPictureBytes)
{
    m_times.wait = m_phaseClock.elapsed();
    setPhase(PagePhase::Painting);
    CaptureOptions options;
    // Prepared while settling; a document that replaces it during the
    // capture is prepared the same way.
    options.preparation = preparation();
    options.alreadyPrepared = true;
    options.loadTimeout = m_settings.timeout;
    options.areaFor = [viewport = m_settings.viewport,
                       viewportOnly = m_settings.viewportOnly](const DocumentMetrics &metrics) {
        return captureAreaFor(metrics, viewport, viewportOnly);
    };
    options.maxPictureBytes = maxPictureBytes;
    // A PNG file is made of the browser's own pictures without decoding
    // them: one band is written as it comes, several are joined.
    options.encodedPng = m_settings.format == OutputFormat::Png;
    m_job = new CaptureJob(*m_page, options, this);
    connect(m_job, &CaptureJob::progress, this, [this](int band, int bands) {
        m_band = band;
        m_bands = bands;
        emit changed();
    });
    // The next page may be painted while this one's picture is joined and
    // written: the browser is done with it, and its memory stays reserved.
    connect(m_job, &CaptureJob::painted, this, [this] {
        if (m_ticket)
            m_gate.donePainting(m_ticket);
    });
    connect(m_job, &CaptureJob::taken, this, &PageTask::write);
    connect(m_job, &CaptureJob::takenEncoded, this, &PageTask::writeEncoded);
    connect(m_job, &CaptureJob::failed, this, &PageTask::fail);
    connect(m_job, &CaptureJob::cancelled, this, [this] {
        fail({QStringLiteral("The capture was stopped."), FailureKind::Cancelled});
    });
    m_job->start();
}

void PageTask::write(const QImage &image)
{
    writeOnWorker(image.size(), [image, path = m_order.path, format = m_settings.format,
                                 quality = m_settings.quality] {
        return writePicture(image, path, format, quality);
    });
}

void PageTask::writeEncoded(const QByteArray &png, QSize size)
{
    writeOnWorker(size, [png, path = m_order.path] { return writeEncodedPicture(png, path); });
}

void PageTask::writeOnWorker(QSize pictureSize, std::function<Status()> writeFile)
{
    const CaptureTimings &timings = m_job->timings();
    m_times.measure += timings.measure;
    m_times.paint = timings.paint;
    m_times.decode = timings.decode;
    m_pictureSize = pictureSize;
    if (const QString stopped = m_page ? m_page->stoppedNavigation() : QString();
        !stopped.isEmpty())
        addNote(QStringLiteral("the page went on to %1, which did not answer in time, so it is "
                               "captured as it was")
                    .arg(stopped));
    // The browser's page is no longer needed while the file is written:
    // another address can load in it, which costs the browser less than a
    // fresh page; otherwise it is closed, so that the browser frees its
    // memory.
    if (m_page && m_pageTaker) {
        disconnect(m_page, nullptr, this, nullptr);
        m_pageTaker(std::exchange(m_page, nullptr));
    }
    closePage();
    setPhase(PagePhase::Writing);

    auto *watcher = new QFutureWatcher<Status>(this);
    connect(watcher, &QFutureWatcher<Status>::finished, this, [this, watcher] {
        watcher->deleteLater();
        written(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(std::move(writeFile)));
}

void PageTask::written(const Status &status)
{
    m_times.write = m_phaseClock.elapsed();
    if (!status) {
        fail(status.failure());
        return;
    }
    finish();
}

void PageTask::fail(const Failure &why)
{
    if (m_phase == PagePhase::Finished)
        return;
    m_failure = why;
    finish();
}

void PageTask::finish()
{
    m_loadDeadline.stop();
    if (m_job && m_job->isRunning())
        m_job->cancel();
    if (m_ticket) {
        m_gate.withdraw(m_ticket);
        m_ticket = 0;
    }
    closePage();
    m_times.total = m_clock.elapsed() - std::max<qint64>(m_times.wait, 0);
    setPhase(PagePhase::Finished);
    emit finished();
}

void PageTask::closePage()
{
    if (m_job) {
        disconnect(m_job, nullptr, this, nullptr);
        m_job->deleteLater();
        m_job = nullptr;
    }
    if (m_page) {
        disconnect(m_page, nullptr, this, nullptr);
        m_page->deleteLater();
        m_page = nullptr;
    }
}

} // namespace snapvel::cli
