#include "platform/cdp/chromiumbrowser.h"

#include "platform/cdp/chromiumenvironment.h"
#include "platform/cdp/chromiumpage.h"
#include "platform/cdp/chromiumprocess.h"
#include "platform/cdp/pagefailures.h"
#include "platform/cdp/pageguards.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>

namespace snapvel {

using cdp::browserGone;
using cdp::Message;
using cdp::pageClosed;
using cdp::rendererCrashed;

namespace {

// How long Chromium may take to close by itself, when the program ends,
// before it is killed.
constexpr std::chrono::milliseconds CloseGrace{3000};
// How long a Chromium whose pipe closed before it was ready may take to be
// reported ended, so that its exit can say why it did not start.
constexpr std::chrono::milliseconds ExitReportWait{1000};

QString stringParam(const Message &message, const char *name)
{
    return message.params.value(QLatin1String(name)).toString();
}

} // namespace

ChromiumBrowser::ChromiumBrowser(QObject *parent)
    : ChromiumBrowser(ChromiumBrowserOptions{}, parent)
{
}

ChromiumBrowser::ChromiumBrowser(const ChromiumBrowserOptions &options, QObject *parent)
    : Browser(parent), m_options(options)
{
    if (m_options.executable.isEmpty())
        m_options.executable = cdp::chromiumExecutable();
    qRegisterMetaType<snapvel::Failure>();
    launch();
}

ChromiumBrowser::~ChromiumBrowser()
{
    const QList<ChromiumPage *> pages = std::exchange(m_pages, {});
    for (ChromiumPage *page : pages)
        page->detachFromBrowser();
    qDeleteAll(pages);
    if (m_connection) {
        m_connection->disconnect(this);
        m_connection->send(QStringLiteral("Browser.close"));
        // Closing the pipe makes Chromium exit if the command did not.
        delete m_connection;
        m_connection = nullptr;
    }
    if (m_process) {
        m_process->disconnect(this);
        m_process->stop(CloseGrace);
    }
}

void ChromiumBrowser::launch()
{
    m_process = new cdp::ChromiumProcess(m_options.executable, this);
    m_launchStatus = m_process->start();
    if (!m_launchStatus) {
        delete m_process;
        m_process = nullptr;
        return;
    }
    m_connection =
        new cdp::Connection(m_process->takeCommandFd(), m_process->takeMessageFd(), this);
    connect(m_connection, &cdp::Connection::eventReceived, this, &ChromiumBrowser::onEvent);
    connect(m_connection, &cdp::Connection::closed, this, &ChromiumBrowser::browserEnded);
    connect(m_process, &cdp::ChromiumProcess::exited, this, &ChromiumBrowser::browserEnded);
    // The version's answer comes before that of the next command, so the
    // browser's kind is known before its first tab is attached to.
    cdp::Connection *connection = m_connection;
    m_cancelsChallenges = false;
    sendNow(QStringLiteral("Browser.getVersion"), {}, m_options.startTimeout,
            [this, connection](Result<Message> reply) {
                if (connection == m_connection && reply)
                    m_cancelsChallenges = cdp::cancelsChallengesItself(
                        reply->params.value(QLatin1String("product")).toString());
            });
    // Every tab, the program's own and those its pages open, is attached to
    // as it is created and held paused until it has been looked at.
    sendNow(QStringLiteral("Target.setAutoAttach"),
            {{QStringLiteral("autoAttach"), true},
             {QStringLiteral("waitForDebuggerOnStart"), true},
             {QStringLiteral("flatten"), true}},
            m_options.startTimeout, [this, connection](Result<Message> reply) {
                if (connection != m_connection)
                    return;
                if (reply)
                    becomeReady();
                else if (reply.kind() == FailureKind::Other)
                    stopBrowser(Failure{
                        QStringLiteral("The browser could not be prepared: %1").arg(reply.error()),
                        FailureKind::BrowserLost});
            });
    cdp::guardBrowser(*m_connection);
}

void ChromiumBrowser::browserEnded()
{
    cdp::ChromiumProcess *process = m_process;
    if (m_ready || !process) {
        stopBrowser(browserGone());
        return;
    }
    const auto couldNotStart = [this, process] {
        stopBrowser(Failure{
            QStringLiteral("The browser could not be started: %1").arg(process->endReason()),
            FailureKind::BrowserLost});
    };
    if (!process->isRunning()) {
        couldNotStart();
        return;
    }
    // The pipe closed first: the process's end, which says why, follows in
    // a moment (and comes here again).
    QTimer::singleShot(ExitReportWait, this, [this, process, couldNotStart] {
        if (process == m_process)
            couldNotStart();
    });
}

void ChromiumBrowser::becomeReady()
{
    m_ready = true;
    m_launchStatus = {};
    if (m_process)
        m_process->unlinkSingletonSocket();
    const std::vector<BrowserCommand> waiting = std::exchange(m_waiting, {});
    for (const BrowserCommand &command : waiting) {
        if (!m_ready)
            return; // stopped meanwhile; the rest failed with it
        sendNow(command.method, command.params, m_options.browserTimeout, command.done);
    }
}

bool ChromiumBrowser::ensureRunning()
{
    if (!isRunning())
        launch();
    return isRunning();
}

void ChromiumBrowser::stopBrowser(const Failure &why)
{
    if (!m_connection && !m_process)
        return;
    // Stopped before it was ever ready: it could not start.
    if (!m_ready)
        m_launchStatus = why;
    cdp::Connection *connection = std::exchange(m_connection, nullptr);
    cdp::ChromiumProcess *process = std::exchange(m_process, nullptr);
    m_sessions.clear();
    m_targets.clear();
    m_awaitingSession.clear();
    m_unclaimed.clear();
    m_creating = 0;
    m_ready = false;
    const std::vector<BrowserCommand> waiting = std::exchange(m_waiting, {});
    for (const BrowserCommand &command : waiting)
        if (command.done)
            QTimer::singleShot(0, this, [done = command.done, why] { done(why); });
    if (connection) {
        connection->disconnect(this);
        connection->close();
        // After the failures it has queued for the commands under way.
        connection->deleteLater();
    }
    if (process) {
        process->disconnect(this);
        connect(process, &cdp::ChromiumProcess::cleanedUp, process, &QObject::deleteLater);
        process->kill();
    }
    for (ChromiumPage *page : std::as_const(m_pages))
        page->lose(why);
    emit stopped(why);
}

Page *ChromiumBrowser::openPage()
{
    auto *page = new ChromiumPage(*this, m_options.layoutViewport, m_options.pageTimeouts);
    m_pages << page;
    if (!ensureRunning()) {
        page->lose(Failure{m_launchStatus.error(), FailureKind::BrowserLost});
        return page;
    }
    createTarget(page);
    return page;
}

void ChromiumBrowser::createTarget(ChromiumPage *page)
{
    ++m_creating;
    QPointer<ChromiumPage> guard(page);
    cdp::Connection *connection = m_connection;
    sendToBrowser(
        QStringLiteral("Target.createTarget"),
        // Each page in a window of its own: tabs sharing one window are in
        // the background but for the newest, and Chromium throttles their
        // painting until a tall paint stops answering.
        {{QStringLiteral("url"), QStringLiteral("about:blank")},
         {QStringLiteral("newWindow"), true}},
        [this, guard, connection](Result<Message> reply) {
            if (connection != m_connection)
                return; // an earlier Chromium's
            --m_creating;
            const QString targetId =
                reply ? reply->params.value(QLatin1String("targetId")).toString() : QString();
            if (!guard || guard->isLost()) {
                m_unclaimed.remove(targetId);
                if (!targetId.isEmpty())
                    sendToBrowser(QStringLiteral("Target.closeTarget"),
                                  {{QStringLiteral("targetId"), targetId}});
            } else if (targetId.isEmpty()) {
                guard->lose(Failure{QStringLiteral("The browser could not open a page: %1")
                                        .arg(reply ? QStringLiteral("no tab") : reply.error()),
                                    FailureKind::PageCrashed});
            } else {
                guard->setTargetId(targetId);
                m_targets.insert(targetId, guard);
                if (m_unclaimed.contains(targetId))
                    attachPage(guard, m_unclaimed.take(targetId));
                else
                    m_awaitingSession.insert(targetId, guard);
            }
            releaseUnclaimedTargets();
        });
}

void ChromiumBrowser::onEvent(const Message &message)
{
    if (!message.sessionId.isEmpty()) {
        if (ChromiumPage *page = m_sessions.value(message.sessionId))
            page->handleEvent(message);
        return;
    }
    const QString &method = message.method;
    if (method == QLatin1String("Target.attachedToTarget")) {
        onAttached(message);
    } else if (method == QLatin1String("Target.detachedFromTarget")) {
        if (ChromiumPage *page = m_sessions.value(stringParam(message, "sessionId")))
            page->lose(pageClosed());
    } else if (method == QLatin1String("Target.targetCrashed")) {
        if (ChromiumPage *page = m_targets.value(stringParam(message, "targetId")))
            page->lose(rendererCrashed());
    } else if (method == QLatin1String("Target.targetDestroyed")) {
        if (ChromiumPage *page = m_targets.value(stringParam(message, "targetId")))
            page->lose(pageClosed());
    }
}

void ChromiumBrowser::onAttached(const Message &message)
{
    const QString sessionId = stringParam(message, "sessionId");
    const QJsonObject info = message.params.value(QLatin1String("targetInfo")).toObject();
    const QString targetId = info.value(QLatin1String("targetId")).toString();
    const QString openerId = info.value(QLatin1String("openerId")).toString();
    if (info.value(QLatin1String("type")).toString() == QLatin1String("page")) {
        if (ChromiumPage *page = m_awaitingSession.take(targetId)) {
            attachPage(page, sessionId);
            return;
        }
        if (ChromiumPage *opener = m_targets.value(openerId)) {
            handleNewWindow(opener, targetId, sessionId);
            return;
        }
        if (m_creating > 0) {
            // Chromium attaches to a tab it creates before it says which it
            // created: this may be one of the program's.
            m_unclaimed.insert(targetId, sessionId);
            return;
        }
    }
    // Anything else (workers, tabs that are none of the program's) runs on,
    // left alone.
    letRunAndDetach(sessionId);
}

void ChromiumBrowser::attachPage(ChromiumPage *page, const QString &sessionId)
{
    m_sessions.insert(sessionId, page);
    page->attach(*m_connection, sessionId, !m_cancelsChallenges);
}

void ChromiumBrowser::releaseUnclaimedTargets()
{
    if (m_creating > 0)
        return;
    const QHash<QString, QString> unclaimed = std::exchange(m_unclaimed, {});
    for (const QString &sessionId : unclaimed)
        letRunAndDetach(sessionId);
}

void ChromiumBrowser::handleNewWindow(ChromiumPage *opener, const QString &targetId,
                                      const QString &sessionId)
{
    // The page asks for a new window (window.open, a link to _blank).
    bool cancel = false;
    QPointer<ChromiumBrowser> alive(this);
    cdp::Connection *connection = m_connection;
    opener->askForNewWindow(&cancel);
    if (!alive || !m_connection || connection != m_connection)
        return;
    if (!cancel) {
        // The window allowed runs on by itself; the program's page stays.
        letRunAndDetach(sessionId);
        return;
    }
    // A window held paused in the opener's renderer must be let run before it
    // is closed, or that renderer stays stalled; its requests are held first,
    // so that it loads nothing meanwhile. With requests held, Chromium
    // answers runIfWaitingForDebugger only once the window's first request is
    // let go, which never comes: nothing waits for that answer.
    m_connection->send(
        QStringLiteral("Fetch.enable"),
        {{QStringLiteral("patterns"),
          QJsonArray{QJsonObject{{QStringLiteral("urlPattern"), QStringLiteral("*")}}}}},
        sessionId);
    m_connection->send(QStringLiteral("Runtime.runIfWaitingForDebugger"), {}, sessionId);
    sendToBrowser(QStringLiteral("Target.closeTarget"), {{QStringLiteral("targetId"), targetId}});
}

void ChromiumBrowser::letRunAndDetach(const QString &sessionId)
{
    if (!m_connection)
        return;
    m_connection->send(QStringLiteral("Runtime.runIfWaitingForDebugger"), {}, sessionId);
    m_connection->send(QStringLiteral("Target.detachFromTarget"),
                       {{QStringLiteral("sessionId"), sessionId}});
}

void ChromiumBrowser::sendToBrowser(const QString &method, const QJsonObject &params,
                                    cdp::Connection::Reply done)
{
    if (!m_connection) {
        if (done)
            QTimer::singleShot(0, this, [done] { done(browserGone()); });
        return;
    }
    if (!m_ready) {
        m_waiting.push_back(BrowserCommand{method, params, std::move(done)});
        return;
    }
    sendNow(method, params, m_options.browserTimeout, std::move(done));
}

void ChromiumBrowser::sendNow(const QString &method, const QJsonObject &params,
                              std::chrono::milliseconds timeout, cdp::Connection::Reply done)
{
    cdp::Connection *connection = m_connection;
    cdp::Connection::Options options;
    options.timeout = timeout;
    m_connection->send(method, params, options, [this, connection, done](Result<Message> reply) {
        if (!reply && reply.kind() == FailureKind::Timeout && connection == m_connection)
            stopBrowser(Failure{m_ready ? QStringLiteral("The browser stopped "
                                                         "responding.")
                                        : QStringLiteral("The browser did not "
                                                         "start in time."),
                                FailureKind::BrowserLost});
        if (done)
            done(std::move(reply));
    });
}

void ChromiumBrowser::forget(ChromiumPage *page)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = it.value() == page ? m_sessions.erase(it) : std::next(it);
    m_targets.remove(page->targetId());
    m_awaitingSession.remove(page->targetId());
}

void ChromiumBrowser::pageLost(ChromiumPage *page, const Failure &why)
{
    forget(page);
    // A crashed or hung tab is closed: the browser process answers that even
    // when the renderer does not.
    if (why.kind != FailureKind::BrowserLost && !page->targetId().isEmpty() && isRunning())
        sendToBrowser(QStringLiteral("Target.closeTarget"),
                      {{QStringLiteral("targetId"), page->targetId()}});
}

void ChromiumBrowser::pageDestroyed(ChromiumPage *page)
{
    if (!page->isLost() && !page->targetId().isEmpty() && isRunning())
        sendToBrowser(QStringLiteral("Target.closeTarget"),
                      {{QStringLiteral("targetId"), page->targetId()}});
    forget(page);
    m_pages.removeAll(page);
}

qint64 ChromiumBrowser::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QString ChromiumBrowser::profilePath() const
{
    return m_process ? m_process->profilePath() : QString();
}

void ChromiumBrowser::countPages(Done<int> done)
{
    if (!ensureRunning()) {
        QTimer::singleShot(0, this, [done, failure = m_launchStatus.failure()] { done(failure); });
        return;
    }
    sendToBrowser(QStringLiteral("Target.getTargets"), {}, [done](Result<Message> reply) {
        if (!reply) {
            done(reply.failure());
            return;
        }
        int pages = 0;
        for (const QJsonValue &value : reply->params.value(QLatin1String("targetInfos")).toArray())
            if (value.toObject().value(QLatin1String("type")).toString() == QLatin1String("page"))
                ++pages;
        done(pages);
    });
}

} // namespace snapvel
