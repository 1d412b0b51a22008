#include "platform/cdp/chromiumbrowser.h"

#include "platform/cdp/addressresolution.h"
#include "platform/cdp/bandedpaint.h"
#include "platform/cdp/chromiumprocess.h"
#include "platform/cdp/connection.h"
#include "platform/cdp/pageevents.h"

#include <QImageReader>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>

#include <climits>

namespace snapvel {

using cdp::Message;
using cdp::PageEvents;

namespace {

// How long Chromium may take to close by itself before it is killed.
constexpr std::chrono::milliseconds CloseGrace{3000};

// Reads the scrolling element's measurements, or null when the document has
// none to measure. The scrolling element stands for the viewport: its scroll
// size is the whole page (body margins and positioned content included), its
// client size the viewport inside any scroll bars, and its offset size the
// viewport with them, so that offset minus client is the scroll bars'
// thickness. (The root element's own offsetHeight is its content's height,
// which would count the page twice.)
const char MeasureScript[] = R"JS((() => {
    const element = document.scrollingElement;
    if (!element || !document.body)
        return null;
    return [element.scrollWidth, window.innerWidth, element.clientWidth,
            element.scrollHeight, window.innerHeight, element.clientHeight];
})())JS";

Failure noDocument()
{
    return Failure{QStringLiteral("No page has been loaded yet.")};
}

// Decodes a PNG expected to be of the given size. Qt's image reader refuses
// pictures beyond its allocation limit (128 MB in Qt 6.4), which a single
// paint of a long page exceeds; the limit is raised for this one decode.
QImage decodePng(const QByteArray &png, QSize size)
{
    const int previousLimit = QImageReader::allocationLimit();
    const qint64 neededMiB = qint64(size.width()) * size.height() * 4 / (1024 * 1024) + 1;
    const bool raise = previousLimit > 0 && neededMiB > previousLimit;
    if (raise)
        QImageReader::setAllocationLimit(static_cast<int>(std::min<qint64>(neededMiB, INT_MAX)));
    QImage image = QImage::fromData(png, "PNG");
    if (raise)
        QImageReader::setAllocationLimit(previousLimit);
    return image;
}

// Emits the browser's signals for what the page did; stops if a receiver
// destroyed the browser.
void emitPageSignals(Browser *browser, const QList<PageEvents::Signal> &pageSignals)
{
    QPointer<Browser> alive(browser);
    for (const PageEvents::Signal signal : pageSignals) {
        if (!alive)
            return;
        if (signal == PageEvents::Signal::DownloadComplete)
            emit browser->downloadComplete();
        else
            emit browser->documentComplete(signal == PageEvents::Signal::TopLevelComplete);
    }
}

} // namespace

ChromiumBrowser::ChromiumBrowser(QObject *parent)
    : ChromiumBrowser(ChromiumBrowserOptions{}, parent)
{
}

ChromiumBrowser::ChromiumBrowser(const ChromiumBrowserOptions &options, QObject *parent)
    : Browser(parent), m_options(options), m_pageEvents(std::make_unique<PageEvents>()),
      m_layoutViewport(options.layoutViewport)
{
    launch();
}

ChromiumBrowser::~ChromiumBrowser()
{
    if (m_connection && m_connection->isOpen())
        m_connection->post(QStringLiteral("Browser.close"));
    // Closing the pipe makes Chromium exit if the command did not.
    m_connection.reset();
    if (m_process)
        m_process->stop(CloseGrace);
}

void ChromiumBrowser::launch()
{
    m_process = std::make_unique<cdp::ChromiumProcess>(m_options.executable);
    m_launchStatus = m_process->start();
    if (!m_launchStatus)
        return;
    m_connection = std::make_unique<cdp::Connection>(
        m_process->takeCommandFd(), m_process->takeMessageFd(), m_options.callTimeout);
    connect(m_connection.get(), &cdp::Connection::messageReceived, this,
            &ChromiumBrowser::onMessage);
}

void ChromiumBrowser::discard()
{
    m_connection.reset();
    if (m_process)
        m_process->stop(std::chrono::milliseconds(0));
    m_process.reset();
    m_attached = false;
    m_hasDocument = false;
    m_targetId.clear();
    m_sessionId.clear();
    m_navigationId = 0;
}

bool ChromiumBrowser::replaceIfStopped()
{
    // A browser that left a call unanswered past the timeout is hung: it is
    // replaced like one that died.
    if (!m_process || !m_launchStatus ||
        (m_connection && m_connection->isOpen() && !m_connection->hasTimedOut()))
        return false;
    discard();
    launch();
    return true;
}

Status ChromiumBrowser::ensureReady()
{
    if (!m_process || !m_launchStatus) {
        // Chromium could not be started before: try again.
        discard();
        launch();
        if (!m_launchStatus)
            return m_launchStatus;
    } else {
        replaceIfStopped();
    }
    if (m_attached)
        return {};
    return attach();
}

// Attaches to the page Chromium opened at start, and has every target created
// later attached and held paused until it has been looked at.
Status ChromiumBrowser::attach()
{
    cdp::Connection &connection = *m_connection;
    const Result<QJsonObject> targets = connection.call(QStringLiteral("Target.getTargets"));
    if (!targets)
        return Failure{targets.error()};
    QString targetId;
    for (const QJsonValue &value : targets->value(QLatin1String("targetInfos")).toArray()) {
        const QJsonObject info = value.toObject();
        if (info.value(QLatin1String("type")).toString() == QLatin1String("page")) {
            targetId = info.value(QLatin1String("targetId")).toString();
            break;
        }
    }
    if (targetId.isEmpty())
        return Failure{QStringLiteral("The browser started without a page.")};

    const Result<QJsonObject> attached = connection.call(
        QStringLiteral("Target.attachToTarget"),
        {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}});
    if (!attached)
        return Failure{attached.error()};
    const QString sessionId = attached->value(QLatin1String("sessionId")).toString();

    const Result<QJsonObject> autoAttach = connection.call(
        QStringLiteral("Target.setAutoAttach"), {{QStringLiteral("autoAttach"), true},
                                                 {QStringLiteral("waitForDebuggerOnStart"), true},
                                                 {QStringLiteral("flatten"), true}});
    if (!autoAttach)
        return Failure{autoAttach.error()};

    const Result<QJsonObject> pageEnabled =
        connection.call(QStringLiteral("Page.enable"), {}, sessionId);
    if (!pageEnabled)
        return Failure{pageEnabled.error()};
    const Result<QJsonObject> frameTree =
        connection.call(QStringLiteral("Page.getFrameTree"), {}, sessionId);
    if (!frameTree)
        return Failure{frameTree.error()};
    const QString mainFrame = frameTree->value(QLatin1String("frameTree"))
                                  .toObject()
                                  .value(QLatin1String("frame"))
                                  .toObject()
                                  .value(QLatin1String("id"))
                                  .toString();

    m_targetId = targetId;
    m_sessionId = sessionId;
    m_pageEvents->reset(mainFrame);
    // Whatever the start page did is no concern of the program's.
    m_eventsFrom = connection.nextSequence();
    m_attached = true;

    if (Status viewport = applyLayoutViewport(); !viewport)
        return viewport;
    if (m_scrollbarsHidden) {
        const Result<QJsonObject> hidden =
            connection.call(QStringLiteral("Emulation.setScrollbarsHidden"),
                            {{QStringLiteral("hidden"), true}}, m_sessionId);
        if (!hidden)
            return Failure{hidden.error()};
    }
    return {};
}

Status ChromiumBrowser::navigate(const QString &address)
{
    const Result<QUrl> url = cdp::resolveAddress(address);
    if (!url)
        return Failure{url.error()};
    if (Status ready = ensureReady(); !ready)
        return ready;
    // Events still queued from an earlier page must not count for this one.
    m_eventsFrom = m_connection->nextSequence();
    const Result<int> id = m_connection->post(
        QStringLiteral("Page.navigate"),
        {{QStringLiteral("url"), QString::fromUtf8(url->toEncoded())}}, m_sessionId, true);
    if (!id)
        return Failure{id.error()};
    m_navigationId = id.value();
    m_pageEvents->navigationRequested();
    m_hasDocument = true;
    return {};
}

bool ChromiumBrowser::hasDocument() const
{
    return m_hasDocument;
}

Status ChromiumBrowser::requireDocument()
{
    // A browser that stopped took its page along: say so once, and have a
    // fresh one warming up for the next navigation.
    const bool hung = m_connection && m_connection->isOpen() && m_connection->hasTimedOut();
    if (replaceIfStopped())
        return Failure{hung ? QStringLiteral("The browser stopped responding and was restarted.")
                            : QStringLiteral("The browser stopped unexpectedly.")};
    if (!m_hasDocument)
        return noDocument();
    return ensureReady();
}

Result<DocumentMetrics> ChromiumBrowser::measureDocument()
{
    if (Status ready = requireDocument(); !ready)
        return Failure{ready.error()};
    const Result<QJsonObject> evaluated =
        m_connection->call(QStringLiteral("Runtime.evaluate"),
                           {{QStringLiteral("expression"), QString::fromLatin1(MeasureScript)},
                            {QStringLiteral("returnByValue"), true}},
                           m_sessionId);
    if (!evaluated)
        return Failure{evaluated.error()};
    if (evaluated->contains(QLatin1String("exceptionDetails")))
        return Failure{QStringLiteral("The page could not be measured: its script failed.")};
    const QJsonArray values = evaluated->value(QLatin1String("result"))
                                  .toObject()
                                  .value(QLatin1String("value"))
                                  .toArray();
    if (values.size() != 6)
        return Failure{QStringLiteral("The page has no document body to measure.")};
    DocumentMetrics metrics;
    metrics.scrollWidth = values.at(0).toInteger();
    metrics.offsetWidth = values.at(1).toInteger();
    metrics.clientWidth = values.at(2).toInteger();
    metrics.scrollHeight = values.at(3).toInteger();
    metrics.offsetHeight = values.at(4).toInteger();
    metrics.clientHeight = values.at(5).toInteger();
    return metrics;
}

Status ChromiumBrowser::hideScrollbars()
{
    if (Status ready = requireDocument(); !ready)
        return ready;
    const Result<QJsonObject> hidden =
        m_connection->call(QStringLiteral("Emulation.setScrollbarsHidden"),
                           {{QStringLiteral("hidden"), true}}, m_sessionId);
    if (!hidden)
        return Failure{hidden.error()};
    m_scrollbarsHidden = true;
    return {};
}

Status ChromiumBrowser::setPlacement(const Placement &placement)
{
    if (placement.width < 0 || placement.height < 0)
        return Failure{QStringLiteral("The browser cannot be given a negative size (%1 x %2).")
                           .arg(placement.width)
                           .arg(placement.height)};
    m_placement = placement;
    return {};
}

Status ChromiumBrowser::setLayoutViewport(QSize size)
{
    if (size.width() <= 0 || size.height() <= 0)
        return Failure{QStringLiteral("The page cannot be laid out in %1 x %2 pixels.")
                           .arg(size.width())
                           .arg(size.height())};
    m_layoutViewport = size;
    // A browser still starting (or to be restarted) gets it when it is
    // attached to, so that this call does not wait for Chromium.
    if (!m_attached || !m_connection || !m_connection->isOpen())
        return {};
    return applyLayoutViewport();
}

Status ChromiumBrowser::applyLayoutViewport()
{
    const Result<QJsonObject> applied =
        m_connection->call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
                           {{QStringLiteral("width"), m_layoutViewport.width()},
                            {QStringLiteral("height"), m_layoutViewport.height()},
                            {QStringLiteral("deviceScaleFactor"), 1},
                            {QStringLiteral("mobile"), false}},
                           m_sessionId);
    if (!applied)
        return Failure{applied.error()};
    return {};
}

Result<QImage> ChromiumBrowser::paint()
{
    if (Status ready = requireDocument(); !ready)
        return Failure{ready.error()};
    const QSize area(m_placement.width, m_placement.height);
    return cdp::paintInBands(area, cdp::bandHeightFor(area.width(), m_options.paintBandHeight),
                             [this](const QRect &band) { return paintBand(band); });
}

Result<QImage> ChromiumBrowser::paintBand(const QRect &band)
{
    const QJsonObject clip{{QStringLiteral("x"), band.x()},
                           {QStringLiteral("y"), band.y()},
                           {QStringLiteral("width"), band.width()},
                           {QStringLiteral("height"), band.height()},
                           {QStringLiteral("scale"), 1}};
    Result<QByteArray> base64 =
        m_connection->callForData(QStringLiteral("Page.captureScreenshot"),
                                  {{QStringLiteral("format"), QStringLiteral("png")},
                                   {QStringLiteral("captureBeyondViewport"), true},
                                   // Faster PNG compression: measured a quarter to a
                                   // third less time per paint, for a larger reply.
                                   {QStringLiteral("optimizeForSpeed"), true},
                                   {QStringLiteral("clip"), clip}},
                                  m_sessionId);
    if (!base64)
        return Failure{base64.error()};
    // Decoded in place: the base64 text's buffer becomes the PNG's.
    QByteArray::FromBase64Result png = QByteArray::fromBase64Encoding(
        std::move(base64.value()), QByteArray::AbortOnBase64DecodingErrors);
    if (!png)
        return Failure{QStringLiteral("The browser's picture of the page could not be read.")};
    const QImage image = decodePng(png.decoded, band.size());
    if (image.isNull())
        return Failure{QStringLiteral("The browser's picture of the page could not be read.")};
    return image;
}

qint64 ChromiumBrowser::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QString ChromiumBrowser::profilePath() const
{
    return m_process ? m_process->profilePath() : QString();
}

Result<int> ChromiumBrowser::pageCount()
{
    if (Status ready = ensureReady(); !ready)
        return Failure{ready.error()};
    const Result<QJsonObject> targets = m_connection->call(QStringLiteral("Target.getTargets"));
    if (!targets)
        return Failure{targets.error()};
    int pages = 0;
    for (const QJsonValue &value : targets->value(QLatin1String("targetInfos")).toArray())
        if (value.toObject().value(QLatin1String("type")).toString() == QLatin1String("page"))
            ++pages;
    return pages;
}

void ChromiumBrowser::onMessage(const Message &message)
{
    if (!message.isEvent()) {
        if (message.id != m_navigationId)
            return;
        m_navigationId = 0;
        emitPageSignals(this, m_pageEvents->navigationAnswered(message.params, message.error));
        return;
    }
    if (message.sessionId.isEmpty())
        onBrowserEvent(message);
    else if (message.sessionId == m_sessionId)
        onPageEvent(message);
}

void ChromiumBrowser::onBrowserEvent(const Message &message)
{
    if (message.method != QLatin1String("Target.attachedToTarget"))
        return;
    const QString sessionId = message.params.value(QLatin1String("sessionId")).toString();
    const QJsonObject info = message.params.value(QLatin1String("targetInfo")).toObject();
    const QString targetId = info.value(QLatin1String("targetId")).toString();
    const QString type = info.value(QLatin1String("type")).toString();
    const QJsonObject session{{QStringLiteral("sessionId"), sessionId}};
    // The program's own session on its page.
    if (sessionId == m_sessionId)
        return;

    if (type == QLatin1String("page") && targetId != m_targetId) {
        // The page asks for a new window (window.open, a link to _blank).
        bool cancel = false;
        QPointer<ChromiumBrowser> alive(this);
        emit newWindowRequested(&cancel);
        if (!alive || !m_connection)
            return;
        if (cancel) {
            // A window held paused in the opener's renderer must be let run
            // before it is closed, or that renderer stays stalled; requests
            // are held first, so that it loads nothing meanwhile.
            m_connection->call(
                QStringLiteral("Fetch.enable"),
                {{QStringLiteral("patterns"),
                  QJsonArray{QJsonObject{{QStringLiteral("urlPattern"), QStringLiteral("*")}}}}},
                sessionId);
            // Not waited for: with requests held, Chromium answers it only
            // once the window's first request is let go, which never comes.
            m_connection->post(QStringLiteral("Runtime.runIfWaitingForDebugger"), {}, sessionId);
            m_connection->call(QStringLiteral("Target.closeTarget"),
                               {{QStringLiteral("targetId"), targetId}});
            return;
        }
    }
    // Anything else (the new window allowed, workers, frames, a second
    // session on the program's own page) runs on, left alone.
    m_connection->post(QStringLiteral("Runtime.runIfWaitingForDebugger"), {}, sessionId);
    m_connection->post(QStringLiteral("Target.detachFromTarget"), session);
}

void ChromiumBrowser::onPageEvent(const Message &message)
{
    if (!m_hasDocument || message.sequence < m_eventsFrom)
        return;
    emitPageSignals(this, m_pageEvents->handle(message.method, message.params));
}

} // namespace snapvel
