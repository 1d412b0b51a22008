#pragma once

#include "platform/browser.h"
#include "snapshot/bandplan.h"
#include "snapshot/pngbands.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace snapvel {

// How long each phase of a capture took, in milliseconds (0 for a phase that
// did not run). Decoding overlaps with painting, so the phases may add up to
// more than the whole.
struct CaptureTimings
{
    qint64 load = 0;
    qint64 prepare = 0; // preparing the page (see CapturePreparation)
    qint64 measure = 0;
    qint64 paint = 0;  // from the first band asked for to the last one painted
    qint64 decode = 0; // time spent decoding bands, summed over the bands
    qint64 total = 0;
};

// What a capture job does, beyond painting the page it is given.
struct CaptureOptions
{
    // When set, this address is loaded first and the capture starts when
    // its top-level document completes.
    std::optional<QString> address;
    // How long the load may take.
    std::chrono::milliseconds loadTimeout{30000};
    // How the page is prepared before it is measured, so that the picture
    // shows what a person scrolling through it would see; nullopt: measured
    // as it is (the caller prepared it).
    std::optional<CapturePreparation> preparation = CapturePreparation{};
    // The caller has prepared the current document already: the preparation
    // is only for a document that replaces it during the capture.
    bool alreadyPrepared = false;
    // The area to paint, in CSS pixels, from the document's measurements.
    // Empty: the window's rule (pageSizeFrom).
    std::function<QSize(const DocumentMetrics &)> areaFor;
    // The tallest band painted at once; taller pages are painted in bands of
    // equal height.
    int bandHeight = 32768;
    // How many decoded bands may still be in the works while the browser
    // paints the next one. 0 paints each band only once the one before it
    // has been decoded (no overlap: for comparison in benchmarks).
    int decodeAhead = 2;
    // The picture is handed over as a PNG file (takenEncoded) instead of an
    // image, for callers that write PNG files: a page painted in one band as
    // the browser's own bytes, a taller one joined from the bands' bytes
    // without decoding them into an image (PngBandJoiner), which takes a
    // fraction of the time and memory.
    bool encodedPng = false;
    // The largest picture, in bytes, the job may hold; a larger page fails
    // with FailureKind::TooLarge before anything is painted. 0: no limit
    // beyond what QImage can address.
    qint64 maxPictureBytes = 0;
};

// How many times a page may replace its document (a script reloading it or
// going elsewhere, a refresh) while it is being captured: a page that does
// it once or twice is captured as it ends up; one that never stops is given
// up, with replacedTooOften().
constexpr int kMostDocumentReplacements = 5;
Failure replacedTooOften();

// Takes one page from loaded to a picture, without any widget: waits for the
// top-level document when an address is given, measures the document, paints
// it in bands and decodes them off the UI thread while the browser paints the
// next one. Ends exactly once, with taken(), failed() or cancelled(), always
// from the event loop. The page's placement is set to the painted area while
// the job runs; the caller puts it back.
class CaptureJob : public QObject
{
    Q_OBJECT

public:
    CaptureJob(Page &page, CaptureOptions options, QObject *parent = nullptr);
    ~CaptureJob() override;

    // Starts the job; a job runs once.
    void start();
    // Stops issuing bands and ends with cancelled() promptly.
    void cancel();

    bool isRunning() const { return m_state == State::Running; }
    const CaptureTimings &timings() const { return m_timings; }

signals:
    // Band `band` (1-based) of `bands` has been painted.
    void progress(int band, int bands);
    // Every band has been painted: the browser's part is done, what is left
    // (decoding, joining) is ours.
    void painted();
    void taken(const QImage &image);
    // Instead of taken(), with encodedPng: the picture as PNG bytes, checked
    // to be of `size`.
    void takenEncoded(const QByteArray &png, QSize size);
    void failed(const snapvel::Failure &why);
    void cancelled();

private:
    struct Decoded;
    enum class State
    {
        Idle,
        Running,
        Finished
    };

    void load();
    void waitForDocument();
    // The page replaced its document: the capture starts again on the new
    // one, within a bound.
    void startOver();
    void measure();
    void paintNext();
    bool allPainted() const { return !m_plan.isEmpty() && m_bandsPainted == m_plan.size(); }
    void bandPainted(int index, Result<QByteArray> png);
    void runOnWorker(std::function<Decoded()> work);
    void bandDecoded(const Decoded &decoded);
    bool handOverEncoded(const QByteArray &png);
    void fail(const Failure &why);
    void finish();

    Page &m_page;
    CaptureOptions m_options;
    State m_state = State::Idle;
    CaptureTimings m_timings;
    QElapsedTimer m_clock;
    QElapsedTimer m_phase;
    QSize m_area;
    QSize m_pixels; // the area times the page's device scale
    QList<Band> m_plan;
    qsizetype m_nextBand = 0;
    qsizetype m_bandsPainted = 0;
    qsizetype m_bandsDecoded = 0;
    int m_decodesRunning = 0;
    bool m_painting = false;
    bool m_waitingForLoad = false;
    bool m_prepared = false;
    int m_replacements = 0;
    std::shared_ptr<QImage> m_image;
    std::shared_ptr<PngBandJoiner> m_joiner;
    QByteArray m_encoded; // the joined file, once its last band is in
    QList<QMetaObject::Connection> m_pageConnections;
    // Guards callbacks and decodes that come after the job has ended or been
    // destroyed, or has started over on a new document.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace snapvel
