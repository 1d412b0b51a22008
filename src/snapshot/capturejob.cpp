#include "snapshot/capturejob.h"

#include "snapshot/bandplan.h"
#include "snapshot/pagesize.h"

#include <QBuffer>
#include <QFutureWatcher>
#include <QImageReader>
#include <QTimer>
#include <QtConcurrent>

#include <cmath>
#include <cstring>
#include <mutex>

namespace snapvel {

namespace {

// Side lengths that QImage can address. Any page larger than this in either
// direction cannot be held as one picture.
constexpr qint64 kMaxSide = std::numeric_limits<int>::max() / 4;

// The decoded picture of the tallest band, with room to spare.
constexpr int kDecodeLimitMiB = 2 * int(kMaxBandBytes / (1024 * 1024));

// Qt's image reader refuses pictures beyond its allocation limit (128 MB in
// Qt 6.4), which one band of a wide page exceeds. The limit is process-wide,
// so it is raised once, from the thread that starts the first job, before
// any decode can run; decodes on worker threads only read it.
void allowBandSizedDecodes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (QImageReader::allocationLimit() > 0 &&
            QImageReader::allocationLimit() < kDecodeLimitMiB)
            QImageReader::setAllocationLimit(kDecodeLimitMiB);
    });
}

Failure tooLarge(qint64 width, qint64 height)
{
    return {
        QStringLiteral("the page is too large to capture (%1 x %2 pixels)").arg(width).arg(height),
        FailureKind::TooLarge};
}

Failure unreadable()
{
    return {unreadableBand()};
}

} // namespace

Failure replacedTooOften()
{
    return {QStringLiteral("The page kept loading new documents by itself, so it could not be "
                           "captured."),
            FailureKind::Replaced};
}

// What a worker hands back for one band.
struct CaptureJob::Decoded
{
    QImage image;       // the band itself, when it is the whole picture
    QByteArray encoded; // the joined file, from the band that completed it
    QString error;
    qint64 milliseconds = 0;
};

CaptureJob::CaptureJob(Page &page, CaptureOptions options, QObject *parent)
    : QObject(parent), m_page(page), m_options(std::move(options)),
      m_prepared(m_options.alreadyPrepared)
{
    allowBandSizedDecodes();
}

CaptureJob::~CaptureJob()
{
    *m_alive = false;
}

void CaptureJob::start()
{
    if (m_state != State::Idle)
        return;
    m_state = State::Running;
    m_clock.start();
    m_pageConnections << connect(&m_page, &Page::lost, this, [this](const Failure &why) {
        // Once every band has been painted, the picture no longer needs the
        // page (a page sharing its renderer may have crashed it meanwhile).
        if (!allPainted())
            fail(why);
    });
    m_pageConnections << connect(&m_page, &Page::documentComplete, this, [this](bool topLevel) {
        if (!topLevel || !m_waitingForLoad || m_state != State::Running)
            return;
        m_waitingForLoad = false;
        m_timings.load = m_phase.elapsed();
        measure();
    });
    m_pageConnections << connect(&m_page, &Page::documentReplaced, this, &CaptureJob::startOver);
    // A lost page fails the measurement at once, saying why it was lost.
    if (m_options.address && !m_page.isLost())
        load();
    else
        measure();
}

void CaptureJob::cancel()
{
    if (m_state != State::Running)
        return;
    finish();
    QMetaObject::invokeMethod(this, &CaptureJob::cancelled, Qt::QueuedConnection);
}

void CaptureJob::load()
{
    m_phase.start();
    waitForDocument();
    // The address is a download, or has nothing to show: no document comes.
    m_pageConnections << connect(&m_page, &Page::navigationFailed, this,
                                 [this](const Failure &why) {
                                     if (m_waitingForLoad && m_state == State::Running)
                                         fail(why);
                                 });
    if (const Status navigated = m_page.navigate(*m_options.address); !navigated)
        fail(navigated.failure());
}

void CaptureJob::waitForDocument()
{
    m_waitingForLoad = true;
    const auto seconds = std::chrono::duration<double>(m_options.loadTimeout).count();
    const std::weak_ptr<bool> alive = m_alive;
    QTimer::singleShot(m_options.loadTimeout, this, [this, alive, seconds] {
        if (!alive.expired() && m_waitingForLoad && m_state == State::Running)
            fail({QStringLiteral("The page did not finish loading within %1 seconds.").arg(seconds),
                  FailureKind::Timeout});
    });
}

void CaptureJob::startOver()
{
    // Once every band has been painted, the picture is of the document as
    // it was, and is finished as it is.
    if (m_state != State::Running || m_waitingForLoad || allPainted())
        return;
    if (++m_replacements > kMostDocumentReplacements) {
        fail(replacedTooOften());
        return;
    }
    // Everything under way is of the document that is gone: its callbacks
    // and decodes are dropped, and the new one is prepared and measured
    // afresh once it has loaded.
    m_alive = std::make_shared<bool>(true);
    m_plan.clear();
    m_nextBand = 0;
    m_bandsPainted = 0;
    m_bandsDecoded = 0;
    m_decodesRunning = 0;
    m_painting = false;
    m_image.reset();
    m_joiner.reset();
    m_encoded.clear();
    m_prepared = false;
    m_phase.start();
    waitForDocument();
}

void CaptureJob::measure()
{
    m_phase.start();
    m_page.hideScrollbars();
    const std::weak_ptr<bool> alive = m_alive;
    // Prepared once, then measured as it has become.
    if (m_options.preparation && !std::exchange(m_prepared, true)) {
        m_page.prepareForCapture(*m_options.preparation, [this, alive](Result<bool> prepared) {
            if (alive.expired() || m_state != State::Running)
                return;
            m_timings.prepare = m_phase.elapsed();
            if (!prepared) {
                fail(prepared.failure());
                return;
            }
            measure();
        });
        return;
    }
    m_page.measureDocument([this, alive](Result<DocumentMetrics> metrics) {
        if (alive.expired() || m_state != State::Running)
            return;
        m_timings.measure = m_phase.elapsed();
        if (!metrics) {
            if (metrics.kind() == FailureKind::Replaced)
                startOver();
            else
                fail(metrics.failure());
            return;
        }
        PageSize page;
        if (m_options.areaFor) {
            const QSize area = m_options.areaFor(metrics.value());
            page = {area.width(), area.height()};
        } else {
            page = pageSizeFrom(metrics.value());
        }
        if (page.width <= 0 || page.height <= 0) {
            fail({QStringLiteral("The page is empty: it has nothing to paint.")});
            return;
        }
        const qreal scale = m_page.deviceScale() > 0 ? m_page.deviceScale() : 1.0;
        const qint64 pixelWidth = std::llround(double(page.width) * scale);
        const qint64 pixelHeight = std::llround(double(page.height) * scale);
        if (page.width > kMaxSide || page.height > kMaxSide || pixelWidth > kMaxSide ||
            pixelHeight > kMaxSide ||
            (m_options.maxPictureBytes > 0 &&
             pixelWidth * pixelHeight * 4 > m_options.maxPictureBytes)) {
            fail(tooLarge(pixelWidth, pixelHeight));
            return;
        }
        m_area = QSize(int(page.width), int(page.height));
        m_pixels = QSize(int(pixelWidth), int(pixelHeight));
        if (const Status placed = m_page.setPlacement({0, 0, m_area.width(), m_area.height()});
            !placed) {
            fail(placed.failure());
            return;
        }
        m_plan = planBands(m_area, scale, m_options.bandHeight);
        if (m_plan.size() > 1 && m_options.encodedPng) {
            m_joiner = std::make_shared<PngBandJoiner>(m_pixels, int(m_plan.size()));
        } else if (m_plan.size() > 1) {
            // The whole picture, allocated once; each band is copied into it
            // as it is decoded. A single band is the picture itself.
            m_image = std::make_shared<QImage>(m_pixels, QImage::Format_RGB32);
            if (m_image->isNull()) {
                fail(tooLarge(pixelWidth, pixelHeight));
                return;
            }
        }
        m_phase.start();
        paintNext();
    });
}

void CaptureJob::paintNext()
{
    // One band is painted at a time; the next is asked for as soon as the
    // previous one has arrived, while it is decoded. Bounding the decodes
    // in the works bounds the memory held in encoded bands.
    if (m_state != State::Running || m_painting || m_nextBand >= m_plan.size() ||
        (m_decodesRunning > 0 && m_decodesRunning >= m_options.decodeAhead))
        return;
    const int index = m_nextBand++;
    m_painting = true;
    const std::weak_ptr<bool> alive = m_alive;
    m_page.paint(m_plan.at(index).clip, [this, alive, index](Result<QByteArray> png) {
        if (alive.expired())
            return;
        bandPainted(index, std::move(png));
    });
}

void CaptureJob::bandPainted(int index, Result<QByteArray> png)
{
    m_painting = false;
    if (m_state != State::Running)
        return;
    if (!png) {
        if (png.kind() == FailureKind::Replaced)
            startOver();
        else
            fail(png.failure());
        return;
    }
    ++m_bandsPainted;
    if (index + 1 == m_plan.size())
        m_timings.paint = m_phase.elapsed();
    emit progress(index + 1, int(m_plan.size()));
    if (m_state == State::Running && allPainted())
        emit painted();
    if (m_state != State::Running)
        return;

    if (m_options.encodedPng && m_plan.size() == 1 && handOverEncoded(png.value()))
        return;

    const Band band = m_plan.at(index);
    const QSize pixels = m_pixels;
    if (m_joiner) {
        const int rows = std::min(band.pixelHeight, pixels.height() - band.pixelTop);
        runOnWorker([bytes = std::move(png.value()), joiner = m_joiner, index, band, rows] {
            Decoded result;
            QElapsedTimer clock;
            clock.start();
            bool last = false;
            result.error = joiner->addBand(index, band.pixelTop, rows, bytes, &last);
            if (last)
                result.encoded = joiner->take();
            result.milliseconds = clock.elapsed();
            return result;
        });
        return;
    }
    const std::shared_ptr<QImage> target = m_image;
    auto decode = [bytes = std::move(png.value()), band, target, pixels]() {
        Decoded result;
        QElapsedTimer clock;
        clock.start();
        QImage image = QImage::fromData(bytes, "PNG");
        if (image.isNull()) {
            result.error = unreadableBand();
            return result;
        }
        if (image.width() != pixels.width() || std::abs(image.height() - band.pixelHeight) > 1) {
            result.error = bandSizeMismatch(image.size(), {pixels.width(), band.pixelHeight});
            return result;
        }
        if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
            image.convertTo(QImage::Format_RGB32);
        if (!target) {
            // The only band: rounding may leave it a row off the area.
            if (image.height() != pixels.height())
                image = image.copy(0, 0, pixels.width(), pixels.height());
            if (image.format() != QImage::Format_RGB32)
                image.reinterpretAsFormat(QImage::Format_RGB32);
            result.image = std::move(image);
        } else {
            // Each band writes only its own rows of the shared picture.
            // A band a row short (rounding at a fractional scale) repeats
            // its last row rather than leave one unpainted.
            const int rows = std::min(band.pixelHeight, pixels.height() - band.pixelTop);
            const size_t rowBytes = size_t(pixels.width()) * 4;
            uchar *bits = target->bits();
            const qsizetype stride = target->bytesPerLine();
            for (int row = 0; row < rows; ++row)
                std::memcpy(bits + (band.pixelTop + row) * stride,
                            image.constScanLine(std::min(row, image.height() - 1)), rowBytes);
        }
        result.milliseconds = clock.elapsed();
        return result;
    };
    runOnWorker(std::move(decode));
}

void CaptureJob::runOnWorker(std::function<Decoded()> work)
{
    auto *watcher = new QFutureWatcher<Decoded>(this);
    connect(watcher, &QFutureWatcher<Decoded>::finished, this,
            [this, watcher, alive = std::weak_ptr<bool>(m_alive)] {
                watcher->deleteLater();
                if (alive.expired())
                    return; // of a document that has been replaced
                --m_decodesRunning;
                bandDecoded(watcher->result());
            });
    ++m_decodesRunning;
    watcher->setFuture(QtConcurrent::run(std::move(work)));
    paintNext();
}

bool CaptureJob::handOverEncoded(const QByteArray &png)
{
    // Only the header is read, to check the picture's size: a picture that
    // is not exactly the area (rounding at a fractional scale) is decoded
    // and cut to it instead.
    QBuffer buffer;
    buffer.setData(png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    if (reader.size() != m_pixels)
        return false;
    finish();
    emit takenEncoded(png, m_pixels);
    return true;
}

void CaptureJob::bandDecoded(const Decoded &decoded)
{
    if (m_state != State::Running)
        return;
    if (!decoded.error.isEmpty()) {
        fail({decoded.error});
        return;
    }
    m_timings.decode += decoded.milliseconds;
    if (!decoded.image.isNull())
        m_image = std::make_shared<QImage>(decoded.image);
    if (!decoded.encoded.isEmpty())
        m_encoded = decoded.encoded;
    ++m_bandsDecoded;
    if (m_bandsDecoded < m_plan.size()) {
        paintNext();
        return;
    }
    if (m_joiner) {
        m_joiner.reset();
        if (m_encoded.isEmpty()) {
            fail(unreadable());
            return;
        }
        finish();
        emit takenEncoded(std::exchange(m_encoded, {}), m_pixels);
        return;
    }
    const QImage image = *m_image;
    m_image.reset();
    finish();
    emit taken(image);
}

void CaptureJob::fail(const Failure &why)
{
    if (m_state != State::Running)
        return;
    finish();
    // Always from the event loop, also when start() itself fails.
    QMetaObject::invokeMethod(
        this, [this, why] { emit failed(why); }, Qt::QueuedConnection);
}

void CaptureJob::finish()
{
    m_state = State::Finished;
    m_waitingForLoad = false;
    m_timings.total = m_clock.elapsed();
    for (const QMetaObject::Connection &connection : std::as_const(m_pageConnections))
        disconnect(connection);
    m_pageConnections.clear();
}

} // namespace snapvel
