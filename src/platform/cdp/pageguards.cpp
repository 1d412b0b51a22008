#include "platform/cdp/pageguards.h"

#include <QJsonArray>
#include <QTimer>

namespace snapvel::cdp {

namespace {

// The shortest time between two checks, whatever the deadline.
constexpr std::chrono::milliseconds MinimumCheckInterval{100};

QString stringParam(const Message &message, const char *name)
{
    return message.params.value(QLatin1String(name)).toString();
}

} // namespace

void guardBrowser(Connection &connection)
{
    // Without a browser context this is the default one, which holds every
    // page the program opens. Refused downloads still end the navigation
    // that started them (Page.navigate says isDownload).
    connection.send(QStringLiteral("Browser.setDownloadBehavior"),
                    {{QStringLiteral("behavior"), QStringLiteral("deny")}}, Connection::Options{},
                    [](const Result<Message> &reply) {
                        if (!reply && reply.kind() == FailureKind::Other)
                            qWarning("The browser did not accept refusing downloads: %s",
                                     qPrintable(reply.error()));
                    });
}

PageGuards::PageGuards(std::chrono::milliseconds deadline, QObject *parent)
    : QObject(parent), m_deadline(deadline), m_timer(new QTimer(this))
{
    m_timer->setInterval(std::max(MinimumCheckInterval, deadline / 4));
    connect(m_timer, &QTimer::timeout, this, &PageGuards::check);
}

bool cancelsChallengesItself(const QString &product)
{
    return product.startsWith(QLatin1String("HeadlessChrome/"));
}

void PageGuards::attach(Connection &connection, const QString &sessionId, bool answerChallenges)
{
    if (m_stopped)
        return;
    m_connection = &connection;
    m_sessionId = sessionId;
    m_timer->start();
    if (!answerChallenges)
        return;
    // Documents (the page's and its frames') pass through here, so that an
    // authentication challenge for one can be answered. Subresources are
    // left alone: each paused request costs a round trip, and Chromium
    // fails their challenges by itself without waiting.
    send(QStringLiteral("Fetch.enable"),
         {{QStringLiteral("handleAuthRequests"), true},
          {QStringLiteral("patterns"),
           QJsonArray{QJsonObject{{QStringLiteral("urlPattern"), QStringLiteral("*")},
                                  {QStringLiteral("resourceType"), QStringLiteral("Document")}}}}});
}

void PageGuards::stop()
{
    m_stopped = true;
    m_timer->stop();
}

void PageGuards::send(const QString &method, const QJsonObject &params)
{
    if (m_connection)
        m_connection->send(method, params, m_sessionId);
}

bool PageGuards::handleEvent(const Message &message)
{
    const QString &method = message.method;
    if (method == QLatin1String("Page.javascriptDialogOpening")) {
        // Leaving the page is allowed; every other dialog is dismissed, as
        // Cancel would (confirm answers false, prompt null).
        const bool leaving = stringParam(message, "type") == QLatin1String("beforeunload");
        send(QStringLiteral("Page.handleJavaScriptDialog"), {{QStringLiteral("accept"), leaving}});
        return true;
    }
    if (method == QLatin1String("Fetch.requestPaused")) {
        send(QStringLiteral("Fetch.continueRequest"),
             {{QStringLiteral("requestId"), stringParam(message, "requestId")}});
        return true;
    }
    if (method == QLatin1String("Fetch.authRequired")) {
        send(QStringLiteral("Fetch.continueWithAuth"),
             {{QStringLiteral("requestId"), stringParam(message, "requestId")},
              {QStringLiteral("authChallengeResponse"),
               QJsonObject{{QStringLiteral("response"), QStringLiteral("CancelAuth")}}}});
        return true;
    }
    return false;
}

void PageGuards::check()
{
    if (m_stopped || m_checking || !m_connection || (m_mayCheck && !m_mayCheck()))
        return;
    m_checking = true;
    Connection::Options options;
    options.sessionId = m_sessionId;
    options.timeout = m_deadline;
    QPointer<PageGuards> guards(this);
    m_connection->send(
        QStringLiteral("Runtime.evaluate"),
        {{QStringLiteral("expression"), QStringLiteral("1")}, {QStringLiteral("silent"), true}},
        options, [guards](const Result<Message> &reply) {
            if (!guards)
                return;
            guards->m_checking = false;
            // Any answer, even an error (a document being
            // replaced), shows the renderer is alive. A
            // request of the page's own started meanwhile
            // may hold the answer back: it has its own
            // deadline, so the check does not count.
            if (guards->m_stopped || reply || reply.kind() != FailureKind::Timeout ||
                (guards->m_mayCheck && !guards->m_mayCheck()))
                return;
            guards->stop();
            emit guards->unresponsive();
        });
}

} // namespace snapvel::cdp
