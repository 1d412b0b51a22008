#include "platform/cdp/chromiumpage.h"

#include "platform/cdp/addressresolution.h"
#include "platform/cdp/base64.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/cdp/pagefailures.h"

#include <QFutureWatcher>
#include <QJsonArray>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <cmath>

namespace snapvel {

using cdp::Message;
using cdp::PageEvents;

namespace {

// Reads the scrolling element's measurements, or null when the document has
// none to measure. The scrolling element stands for the viewport: its scroll
// size is the whole page (body margins and positioned content included), its
// client size the viewport inside any scroll bars, and its offset size the
// viewport with them, so that offset minus client is the scroll bars'
// thickness. (The root element's own offsetHeight is its content's height,
// which would count the page twice.)
// Documents that are not HTML (an SVG picture opened as a page) have no body
// but measure the same way, by their root element. The document's HTTP
// status comes last.
const char MeasureScript[] = R"JS((() => {
    const element = document.scrollingElement;
    if (!element)
        return null;
    let status = 0;
    try {
        status = performance.getEntriesByType('navigation')[0].responseStatus || 0;
    } catch (e) {
    }
    return [element.scrollWidth, window.innerWidth, element.clientWidth,
            element.scrollHeight, window.innerHeight, element.clientHeight, status];
})())JS";

// Pictures whose base64 text is larger than this are decoded on a worker
// thread, so that the event loop is not held up for long.
constexpr qsizetype DecodeInlineLimit = 4 << 20;

Failure noDocument()
{
    return Failure{QStringLiteral("No page has been loaded yet.")};
}

Failure stoppedResponding()
{
    return Failure{QStringLiteral("The page stopped responding."), FailureKind::Timeout};
}

// How long a failed navigation's error page may take to come before the
// navigation counts as ended without a document.
constexpr std::chrono::milliseconds ErrorPageWait{5000};

Failure unreadablePicture()
{
    return Failure{QStringLiteral("The browser's picture of the page could not be read.")};
}

Result<QByteArray> decodePicture(QByteArray base64)
{
    // Decoded in place: the base64 text's buffer becomes the PNG's.
    std::optional<QByteArray> png = cdp::decodeBase64(std::move(base64));
    if (!png || png->isEmpty())
        return unreadablePicture();
    return std::move(*png);
}

} // namespace

ChromiumPage::ChromiumPage(ChromiumBrowser &browser, QSize layoutViewport,
                           const PageTimeouts &timeouts)
    : Page(&browser), m_browser(&browser), m_timeouts(timeouts),
      m_guards(new cdp::PageGuards(timeouts.responsive, this)),
      m_pageNavigationWait(new QTimer(this)), m_layoutViewport(layoutViewport)
{
    m_pageNavigationWait->setSingleShot(true);
    m_pageNavigationWait->setInterval(timeouts.pageNavigation);
    connect(m_pageNavigationWait, &QTimer::timeout, this, &ChromiumPage::stopPageNavigation);
    qRegisterMetaType<snapvel::Failure>();
    m_guards->setMayCheck([this] { return mayCheckRenderer(); });
    connect(m_guards, &cdp::PageGuards::unresponsive, this, [this] { lose(stoppedResponding()); });
    m_preparer = new cdp::CapturePreparer(
        [this](const QString &method, const QJsonObject &params, std::chrono::milliseconds timeout,
               Reply done) {
            command(Command{method, params, timeout, false, {}}, std::move(done));
        },
        [this] { return m_events.mainFrame(); }, timeouts.measure, this);
    connect(this, &Page::lost, m_preparer, &cdp::CapturePreparer::abandon);
}

bool ChromiumPage::mayCheckRenderer() const
{
    // A navigation under way does not count: it waits for the network, and
    // meanwhile the renderer of the document it replaces still answers.
    return m_ready && m_hasDocument && !m_loss && m_underWay.size() <= m_navigationsUnderWay;
}

ChromiumPage::~ChromiumPage()
{
    if (m_browser)
        m_browser->pageDestroyed(this);
}

std::optional<Failure> ChromiumPage::unusable() const
{
    if (m_loss)
        return m_loss;
    if (!m_hasDocument)
        return noDocument();
    return std::nullopt;
}

template <typename T> void ChromiumPage::failLater(Done<T> done, const Failure &failure)
{
    QTimer::singleShot(0, this, [done = std::move(done), failure] { done(failure); });
}

quint64 ChromiumPage::command(Command command, Reply done, bool evenBeforeReady)
{
    if (m_loss) {
        if (done)
            failLater<Message>(std::move(done), *m_loss);
        return 0;
    }
    const quint64 request = ++m_nextRequest;
    m_underWay.insert(request, std::move(done));
    if (m_ready || evenBeforeReady) {
        sendNow(request, command);
        return request;
    }
    m_waitingOrder.push_back(request);
    m_waiting.insert(request, std::move(command));
    return request;
}

void ChromiumPage::sendNow(quint64 request, const Command &command)
{
    if (command.beforeSend)
        command.beforeSend();
    cdp::Connection::Options options;
    options.sessionId = m_sessionId;
    options.timeout = command.timeout;
    options.keepData = command.keepData;
    QPointer<ChromiumPage> page(this);
    m_connection->send(command.method, command.params, options,
                       [page, request](Result<Message> reply) {
                           if (page)
                               page->answered(request, std::move(reply));
                       });
}

void ChromiumPage::answered(quint64 request, Result<Message> reply)
{
    m_paintsUnderWay.remove(request);
    if (!m_underWay.contains(request))
        return; // failed already, when the page was lost
    if (!reply && reply.kind() == FailureKind::Timeout) {
        // The renderer is hung (a script that never yields): the page is
        // given up and its tab closed.
        lose(stoppedResponding());
        return;
    }
    if (!reply && reply.kind() == FailureKind::BrowserLost) {
        lose(reply.failure());
        return;
    }
    const Reply done = m_underWay.take(request);
    if (done)
        done(std::move(reply));
}

void ChromiumPage::attach(cdp::Connection &connection, const QString &sessionId,
                          bool answerChallenges)
{
    if (m_loss)
        return;
    m_connection = &connection;
    m_sessionId = sessionId;
    QPointer<ChromiumPage> page(this);
    const auto loseOnFailure = [page](Result<Message> reply) {
        if (page && !reply)
            page->lose(Failure{
                QStringLiteral("The browser could not prepare the page: %1").arg(reply.error()),
                FailureKind::PageCrashed});
    };
    const auto setUp = [this](const char *method) {
        return Command{QLatin1String(method), {}, m_timeouts.measure, false, {}};
    };
    command(setUp("Page.enable"), loseOnFailure, true);
    command(
        setUp("Page.getFrameTree"),
        [page, loseOnFailure](Result<Message> reply) {
            if (!page)
                return;
            if (!reply) {
                loseOnFailure(std::move(reply));
                return;
            }
            page->becomeReady(reply->params.value(QLatin1String("frameTree"))
                                  .toObject()
                                  .value(QLatin1String("frame"))
                                  .toObject()
                                  .value(QLatin1String("id"))
                                  .toString());
        },
        true);
    command(setUp("Inspector.enable"), loseOnFailure, true);
    // Lifecycle events tell when the network has gone quiet.
    command(Command{QStringLiteral("Page.setLifecycleEventsEnabled"),
                    {{QStringLiteral("enabled"), true}},
                    m_timeouts.measure,
                    false,
                    {}},
            loseOnFailure, true);
    applyLayoutViewport(true);
    if (m_scrollbarsHidden)
        applyScrollbarsHidden(true);
    // Dialogs, authentication challenges and a hung renderer are taken care
    // of from the first load on.
    m_guards->attach(connection, sessionId, answerChallenges);
    // The tab was created paused (new targets wait for the debugger): let it
    // run. Its answer is of no interest.
    connection.send(QStringLiteral("Runtime.runIfWaitingForDebugger"), {}, sessionId);
}

void ChromiumPage::becomeReady(const QString &mainFrame)
{
    if (m_loss)
        return;
    m_events.reset(mainFrame);
    m_ready = true;
    const std::vector<quint64> order = std::exchange(m_waitingOrder, {});
    for (const quint64 request : order) {
        const Command waiting = m_waiting.take(request);
        if (m_loss)
            return;
        sendNow(request, waiting);
    }
}

void ChromiumPage::lose(const Failure &why)
{
    if (m_loss)
        return;
    m_loss = why;
    m_ready = false;
    m_guards->stop();
    m_held.clear();
    m_waiting.clear();
    m_waitingOrder.clear();
    m_paintsUnderWay.clear();
    const QHash<quint64, Reply> underWay = std::exchange(m_underWay, {});
    const QHash<quint64, Done<bool>> idleWaiters = std::exchange(m_idleWaiters, {});
    if (m_browser)
        m_browser->pageLost(this, why);
    QTimer::singleShot(0, this, [this, why, underWay, idleWaiters] {
        QPointer<ChromiumPage> alive(this);
        emit lost(why);
        for (const Reply &done : underWay) {
            if (!alive)
                return;
            if (done)
                done(why);
        }
        for (const Done<bool> &done : idleWaiters) {
            if (!alive)
                return;
            done(why);
        }
    });
}

void ChromiumPage::handleEvent(const Message &message)
{
    if (m_loss)
        return;
    if (message.method == QLatin1String("Inspector.targetCrashed")) {
        lose(cdp::rendererCrashed());
        return;
    }
    if (message.method == QLatin1String("Inspector.detached")) {
        lose(cdp::pageClosed());
        return;
    }
    if (m_guards->handleEvent(message) || m_preparer->handleEvent(message))
        return;
    if (!m_ready || message.sequence < m_eventsFrom)
        return;
    if (message.method == QLatin1String("Page.lifecycleEvent")) {
        onLifecycleEvent(message.params);
        return;
    }
    const quint64 committed = m_events.documentsCommitted();
    const QList<PageEvents::Signal> pageSignals = m_events.handle(message.method, message.params);
    if (m_events.documentsCommitted() != committed) {
        failPaintsUnderWay();
        m_stoppedNavigation.clear();
    }
    watchPageNavigation();
    holdSignals(pageSignals);
}

void ChromiumPage::watchPageNavigation()
{
    if (!m_events.pageNavigating())
        m_pageNavigationWait->stop();
    else if (!m_pageNavigationWait->isActive())
        m_pageNavigationWait->start();
}

void ChromiumPage::stopPageNavigation()
{
    // While the page goes elsewhere, Chromium holds every request to it
    // until the new document is in place: an address that never answers
    // would hold the capture until its requests time out, and the page
    // would be taken for one that stopped responding. Stopped (in the
    // browser, which answers at once), the navigation leaves the page with
    // the document it shows, as a browser's Stop button does, and the held
    // requests go to it.
    if (m_loss || !m_events.pageNavigating())
        return;
    m_stoppedNavigation = m_events.pageNavigationTarget();
    command(Command{QStringLiteral("Page.stopLoading"), {}, m_timeouts.measure, false, {}}, {});
}

void ChromiumPage::failPaintsUnderWay()
{
    // Their requests stay with the connection until it gives up on them;
    // their answers, should they come, are of a document that is gone.
    const Failure replaced{
        QStringLiteral("The page loaded a new document while it was being painted."),
        FailureKind::Replaced};
    for (const quint64 request : std::exchange(m_paintsUnderWay, {})) {
        if (Reply done = m_underWay.take(request))
            failLater<Message>(std::move(done), replaced);
    }
}

void ChromiumPage::onLifecycleEvent(const QJsonObject &params)
{
    if (params.value(QLatin1String("frameId")).toString() != m_events.mainFrame())
        return;
    const QString name = params.value(QLatin1String("name")).toString();
    if (name == QLatin1String("init")) {
        m_networkIdle = false;
    } else if (name == QLatin1String("networkIdle")) {
        networkWentIdle();
    }
}

void ChromiumPage::networkWentIdle()
{
    m_networkIdle = true;
    const QHash<quint64, Done<bool>> waiters = std::exchange(m_idleWaiters, {});
    QPointer<ChromiumPage> alive(this);
    for (const Done<bool> &done : waiters) {
        if (!alive)
            return;
        done(true);
    }
}

void ChromiumPage::waitForNetworkIdle(std::chrono::milliseconds timeout, Done<bool> done)
{
    if (const std::optional<Failure> failure = unusable()) {
        failLater(std::move(done), *failure);
        return;
    }
    if (m_networkIdle) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(true); });
        return;
    }
    const quint64 waiter = ++m_nextIdleWaiter;
    m_idleWaiters.insert(waiter, std::move(done));
    QTimer::singleShot(timeout, this, [this, waiter] {
        const Done<bool> late = m_idleWaiters.take(waiter);
        if (late)
            late(false);
    });
}

Status ChromiumPage::navigate(const QString &address)
{
    if (m_loss)
        return *m_loss;
    const Result<QUrl> url = cdp::resolveAddress(address);
    if (!url)
        return url.failure();
    m_hasDocument = true;
    const quint64 navigation = ++m_navigation;
    Command navigate{QStringLiteral("Page.navigate"),
                     {{QStringLiteral("url"), QString::fromUtf8(url->toEncoded())}},
                     m_timeouts.navigate,
                     false,
                     [this] {
                         // Events still on their way from an earlier page, and
                         // its signals not yet reported, do not count for
                         // this one.
                         m_eventsFrom = m_connection->nextSequence();
                         m_networkIdle = false;
                         m_held.clear();
                         ++m_epoch;
                         m_events.navigationRequested();
                         // Only the page's own navigations are stopped.
                         m_pageNavigationWait->stop();
                         m_stoppedNavigation.clear();
                     }};
    QPointer<ChromiumPage> page(this);
    ++m_navigationsUnderWay;
    command(std::move(navigate), [page, navigation](Result<Message> reply) {
        if (page)
            --page->m_navigationsUnderWay;
        if (page && navigation == page->m_navigation)
            page->navigationAnswered(reply);
    });
    return {};
}

void ChromiumPage::navigationAnswered(const Result<Message> &reply)
{
    if (reply)
        holdSignals(m_events.navigationAnswered(reply->params, {}));
    else
        holdSignals(m_events.navigationAnswered({}, reply.error()));
    // Refused, or a jump within the document: nothing is loading.
    if (!reply || !reply->params.contains(QLatin1String("loaderId")))
        networkWentIdle();
    // An error page normally follows a failed navigation at once; one that
    // never comes leaves nothing to complete.
    if (m_events.errorPageDue()) {
        QTimer::singleShot(ErrorPageWait, this, [this, epoch = m_epoch] {
            if (epoch == m_epoch && !m_loss)
                holdSignals(m_events.errorPageOverdue());
        });
    }
}

// Loading signals wait for a round trip through the browser process: if the
// renderer died, Chromium reports it before that answer, and the page is
// lost instead of reporting a document that never completed.
void ChromiumPage::holdSignals(const QList<PageEvents::Signal> &pageSignals)
{
    if (pageSignals.isEmpty())
        return;
    m_held += pageSignals;
    if (!m_confirming)
        confirmAlive();
}

void ChromiumPage::confirmAlive()
{
    if (!m_browser)
        return;
    m_confirming = true;
    QPointer<ChromiumPage> page(this);
    const quint64 epoch = m_epoch;
    const qsizetype count = m_held.size();
    m_browser->sendToBrowser(QStringLiteral("Target.getTargetInfo"),
                             {{QStringLiteral("targetId"), m_targetId}},
                             [page, epoch, count](const Result<Message> &) {
                                 if (page)
                                     page->releaseSignals(epoch, count);
                             });
}

void ChromiumPage::releaseSignals(quint64 epoch, qsizetype count)
{
    m_confirming = false;
    if (m_loss)
        return;
    QList<PageEvents::Signal> confirmed;
    if (epoch == m_epoch) {
        confirmed = m_held.mid(0, count);
        m_held.remove(0, std::min(count, m_held.size()));
    }
    if (!m_held.isEmpty())
        confirmAlive();
    QPointer<ChromiumPage> alive(this);
    for (const PageEvents::Signal signal : confirmed) {
        if (!alive || m_loss)
            return;
        if (signal == PageEvents::Signal::DownloadComplete)
            emit downloadComplete();
        else if (signal == PageEvents::Signal::NavigationFailed)
            emit navigationFailed(Failure{m_events.navigationFailure()});
        else if (signal == PageEvents::Signal::DocumentReplaced)
            emit documentReplaced();
        else
            emit documentComplete(signal == PageEvents::Signal::TopLevelComplete);
    }
}

void ChromiumPage::prepareForCapture(const CapturePreparation &what, Done<bool> done)
{
    if (const std::optional<Failure> failure = unusable()) {
        failLater(std::move(done), *failure);
        return;
    }
    m_preparer->prepare(what, std::move(done));
}

void ChromiumPage::measureDocument(Done<DocumentMetrics> done)
{
    if (const std::optional<Failure> failure = unusable()) {
        failLater(std::move(done), *failure);
        return;
    }
    Command evaluate{QStringLiteral("Runtime.evaluate"),
                     {{QStringLiteral("expression"), QString::fromLatin1(MeasureScript)},
                      {QStringLiteral("returnByValue"), true}},
                     m_timeouts.measure,
                     false,
                     {}};
    // A document going away under the script fails it, or leaves nothing to
    // measure for a moment; that is said as a replacement, which the capture
    // waits out, rather than as a page that cannot be measured.
    QPointer<ChromiumPage> page(this);
    const auto orReplaced = [page,
                             committed = m_events.documentsCommitted()](const Failure &failure) {
        if (failure.kind == FailureKind::Other && page &&
            (page->m_events.pageNavigating() || page->m_events.documentsCommitted() != committed))
            return Failure{QStringLiteral("The page loaded a new document while it was being "
                                          "measured."),
                           FailureKind::Replaced};
        return failure;
    };
    command(std::move(evaluate), [done = std::move(done), orReplaced](Result<Message> reply) {
        const Result<cdp::ScriptValue> measured = cdp::scriptValueOf(reply);
        if (!measured) {
            done(orReplaced(
                measured.kind() == FailureKind::Other && reply
                    ? Failure{QStringLiteral("The page could not be measured: its script failed.")}
                    : measured.failure()));
            return;
        }
        const QJsonArray values = measured->value.toArray();
        if (values.size() != 7) {
            done(orReplaced(Failure{QStringLiteral("The page has no document to measure.")}));
            return;
        }
        DocumentMetrics metrics;
        metrics.scrollWidth = values.at(0).toInteger();
        metrics.offsetWidth = values.at(1).toInteger();
        metrics.clientWidth = values.at(2).toInteger();
        metrics.scrollHeight = values.at(3).toInteger();
        metrics.offsetHeight = values.at(4).toInteger();
        metrics.clientHeight = values.at(5).toInteger();
        metrics.responseStatus = values.at(6).toInt();
        done(metrics);
    });
}

void ChromiumPage::hideScrollbars()
{
    // Chromium keeps the setting for the page's later documents too.
    if (m_loss || std::exchange(m_scrollbarsHidden, true))
        return;
    if (m_ready)
        applyScrollbarsHidden(false);
}

void ChromiumPage::applyScrollbarsHidden(bool evenBeforeReady)
{
    command(Command{QStringLiteral("Emulation.setScrollbarsHidden"),
                    {{QStringLiteral("hidden"), true}},
                    m_timeouts.measure,
                    false,
                    {}},
            {}, evenBeforeReady);
}

Status ChromiumPage::setPlacement(const Placement &placement)
{
    if (placement.width < 0 || placement.height < 0)
        return Failure{QStringLiteral("The browser cannot be given a negative size (%1 x %2).")
                           .arg(placement.width)
                           .arg(placement.height)};
    m_placement = placement;
    return {};
}

Status ChromiumPage::setLayoutViewport(QSize size, qreal deviceScale)
{
    if (size.width() <= 0 || size.height() <= 0)
        return Failure{QStringLiteral("The page cannot be laid out in %1 x %2 pixels.")
                           .arg(size.width())
                           .arg(size.height())};
    if (!std::isfinite(deviceScale) || deviceScale <= 0 || deviceScale > 10)
        return Failure{
            QStringLiteral("The page cannot be painted at a scale of %1.").arg(deviceScale)};
    m_layoutViewport = size;
    m_deviceScale = deviceScale;
    // A page still being prepared gets it when it is ready.
    if (m_ready)
        applyLayoutViewport(false);
    return {};
}

void ChromiumPage::applyLayoutViewport(bool evenBeforeReady)
{
    command(Command{QStringLiteral("Emulation.setDeviceMetricsOverride"),
                    {{QStringLiteral("width"), m_layoutViewport.width()},
                     {QStringLiteral("height"), m_layoutViewport.height()},
                     {QStringLiteral("deviceScaleFactor"), m_deviceScale},
                     {QStringLiteral("mobile"), false}},
                    m_timeouts.measure,
                    false,
                    {}},
            {}, evenBeforeReady);
}

void ChromiumPage::paint(const QRect &clip, Done<QByteArray> png)
{
    if (const std::optional<Failure> failure = unusable()) {
        failLater(std::move(png), *failure);
        return;
    }
    if (clip.width() <= 0 || clip.height() <= 0) {
        failLater(std::move(png), Failure{QStringLiteral("The page has nothing to paint.")});
        return;
    }
    const double megapixels =
        double(clip.width()) * clip.height() * m_deviceScale * m_deviceScale / 1e6;
    const auto timeout = m_timeouts.paint +
                         std::chrono::milliseconds(static_cast<qint64>(
                             std::ceil(megapixels * double(m_timeouts.paintPerMegapixel.count()))));
    const QJsonObject area{{QStringLiteral("x"), clip.x()},
                           {QStringLiteral("y"), clip.y()},
                           {QStringLiteral("width"), clip.width()},
                           {QStringLiteral("height"), clip.height()},
                           {QStringLiteral("scale"), 1}};
    Command capture{QStringLiteral("Page.captureScreenshot"),
                    {{QStringLiteral("format"), QStringLiteral("png")},
                     {QStringLiteral("captureBeyondViewport"), true},
                     // Faster PNG compression: measured a quarter to a third
                     // less time per paint, for a larger reply.
                     {QStringLiteral("optimizeForSpeed"), true},
                     {QStringLiteral("clip"), area}},
                    timeout,
                    true,
                    {}};
    QPointer<ChromiumPage> page(this);
    const quint64 request =
        command(std::move(capture), [page, png = std::move(png)](Result<Message> reply) {
            if (!reply) {
                png(reply.failure());
                return;
            }
            QByteArray base64 = std::move(reply.value().data);
            if (base64.size() <= DecodeInlineLimit) {
                png(decodePicture(std::move(base64)));
                return;
            }
            if (!page)
                return;
            auto *watcher = new QFutureWatcher<Result<QByteArray>>(page);
            QObject::connect(watcher, &QFutureWatcherBase::finished, page, [watcher, png] {
                watcher->deleteLater();
                png(watcher->result());
            });
            watcher->setFuture(QtConcurrent::run(decodePicture, std::move(base64)));
        });
    if (request != 0)
        m_paintsUnderWay.insert(request);
}

void ChromiumPage::call(const QString &method, const QJsonObject &params, Done<QJsonObject> done)
{
    command(Command{method, params, m_timeouts.measure, false, {}},
            [done = std::move(done)](Result<Message> reply) {
                if (reply)
                    done(reply->params);
                else
                    done(reply.failure());
            });
}

} // namespace snapvel
