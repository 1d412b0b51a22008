#include "platform/cdp/pageevents.h"

#include <utility>

namespace snapvel::cdp {

void PageEvents::reset(const QString &mainFrameId)
{
    m_mainFrame = mainFrameId;
    m_topLevelDue = false;
    m_ownDocumentDue = false;
    m_pageNavigating = false;
    m_errorPageDue = false;
    m_showsErrorPage = false;
}

void PageEvents::navigationRequested()
{
    m_topLevelDue = true;
    m_ownDocumentDue = true;
    // The program's navigation takes the place of one the page started.
    m_pageNavigating = false;
    m_errorPageDue = false;
    m_errorText.clear();
}

QList<PageEvents::Signal> PageEvents::navigationAnswered(const QJsonObject &result,
                                                         const QString &error)
{
    // A download (refused, so never saved) and an answer with nothing to
    // show (an HTTP 204, an address no page handles) end the navigation
    // without a document: the earlier one stays and completes nothing.
    const QString errorText = result.value(QLatin1String("errorText")).toString();
    if (result.value(QLatin1String("isDownload")).toBool())
        return failNavigation(QStringLiteral("The address is a download; nothing was saved."));
    if (errorText == QLatin1String("net::ERR_ABORTED"))
        return failNavigation(QStringLiteral("The address has no page to show."));
    // Chromium refused to start the navigation at all.
    if (!error.isEmpty())
        return failNavigation(QStringLiteral("The address could not be loaded: %1").arg(error));
    // Any other failure still ends a download. Chromium shows an error page
    // for it, whose loading completes the top-level document.
    if (!errorText.isEmpty()) {
        m_errorPageDue = true;
        m_errorText = errorText;
        return {Signal::DownloadComplete};
    }
    // A navigation within the same document (a fragment) loads nothing, so
    // no loading events follow: it completes at once.
    if (!result.contains(QLatin1String("loaderId"))) {
        m_ownDocumentDue = false;
        return QList<Signal>{Signal::DownloadComplete} + completeTopLevel();
    }
    return {};
}

QList<PageEvents::Signal> PageEvents::handle(const QString &method, const QJsonObject &params)
{
    if (method == QLatin1String("Page.domContentEventFired"))
        return {Signal::DownloadComplete};

    const QString frameId = params.value(QLatin1String("frameId")).toString();
    if (method == QLatin1String("Page.frameStartedLoading")) {
        if (frameId == m_mainFrame)
            m_topLevelDue = true;
        return {};
    }
    if (method == QLatin1String("Page.frameRequestedNavigation")) {
        if (frameId == m_mainFrame) {
            m_pageNavigating = true;
            m_pageNavigationTarget = params.value(QLatin1String("url")).toString();
        }
        return {};
    }
    if (method == QLatin1String("Page.navigatedWithinDocument")) {
        if (frameId == m_mainFrame)
            m_pageNavigating = false;
        return {};
    }
    if (method == QLatin1String("Page.frameStoppedLoading")) {
        if (frameId != m_mainFrame)
            return {Signal::FrameComplete};
        // A navigation of the page's own that put no document in place.
        m_pageNavigating = false;
        return completeTopLevel();
    }
    if (method == QLatin1String("Page.frameNavigated")) {
        const QJsonObject frame = params.value(QLatin1String("frame")).toObject();
        if (frame.contains(QLatin1String("parentId")))
            return {};
        m_mainFrame = frame.value(QLatin1String("id")).toString();
        ++m_documentsCommitted;
        m_pageNavigating = false;
        m_errorPageDue = false;
        const bool replaced = !std::exchange(m_ownDocumentDue, false);
        // The load ended with Chromium's error page.
        m_showsErrorPage =
            frame.contains(QLatin1String("unreachableUrl")) ||
            frame.value(QLatin1String("url")).toString().startsWith(QLatin1String("chrome-error:"));
        QList<Signal> signalList;
        if (replaced)
            signalList << Signal::DocumentReplaced;
        if (m_showsErrorPage)
            signalList << Signal::DownloadComplete;
        return signalList;
    }
    return {};
}

namespace {

// Chromium's network error names, as a person would say them.
QString describeNetworkError(const QString &errorText)
{
    static const struct
    {
        const char *name;
        const char *words;
    } known[] = {
        {"net::ERR_NAME_NOT_RESOLVED", "the server's name could not be found"},
        {"net::ERR_NAME_RESOLUTION_FAILED", "the server's name could not be found"},
        {"net::ERR_CONNECTION_REFUSED", "the server refused the connection"},
        {"net::ERR_CONNECTION_TIMED_OUT", "the server did not answer in time"},
        {"net::ERR_TIMED_OUT", "the server did not answer in time"},
        {"net::ERR_CONNECTION_RESET", "the connection was broken off"},
        {"net::ERR_CONNECTION_CLOSED", "the server closed the connection"},
        {"net::ERR_EMPTY_RESPONSE", "the server sent nothing"},
        {"net::ERR_ADDRESS_UNREACHABLE", "the server cannot be reached"},
        {"net::ERR_INTERNET_DISCONNECTED", "there is no network connection"},
        {"net::ERR_FILE_NOT_FOUND", "the file does not exist"},
        {"net::ERR_ACCESS_DENIED", "the file may not be read"},
        {"net::ERR_TOO_MANY_REDIRECTS", "the site redirects in a loop"},
        {"net::ERR_SSL_PROTOCOL_ERROR", "the secure connection failed"},
        {"net::ERR_BLOCKED_BY_CLIENT", "the browser blocked it"},
        {"net::ERR_UNSAFE_PORT", "the browser does not connect to that port"},
    };
    for (const auto &entry : known)
        if (errorText == QLatin1String(entry.name))
            return QStringLiteral("%1 (%2)").arg(QLatin1String(entry.words), errorText);
    if (errorText.startsWith(QLatin1String("net::ERR_CERT_")))
        return QStringLiteral("the site's certificate is not valid (%1)").arg(errorText);
    if (errorText.isEmpty())
        return QStringLiteral("the browser showed its error page");
    return errorText;
}

QString loadFailure(const QString &errorText)
{
    return QStringLiteral("The page could not be loaded: %1.").arg(describeNetworkError(errorText));
}

} // namespace

QString PageEvents::documentError() const
{
    if (!m_showsErrorPage)
        return {};
    return loadFailure(m_errorText);
}

QList<PageEvents::Signal> PageEvents::errorPageOverdue()
{
    if (!m_errorPageDue)
        return {};
    m_errorPageDue = false;
    QList<Signal> signalList = failNavigation(loadFailure(m_errorText));
    // Its download was ended when the navigation was answered.
    signalList.removeAll(Signal::DownloadComplete);
    return signalList;
}

QList<PageEvents::Signal> PageEvents::failNavigation(const QString &why)
{
    m_topLevelDue = false;
    m_ownDocumentDue = false;
    m_errorPageDue = false;
    m_navigationFailure = why;
    return {Signal::DownloadComplete, Signal::NavigationFailed};
}

QList<PageEvents::Signal> PageEvents::completeTopLevel()
{
    if (!m_topLevelDue)
        return {};
    m_topLevelDue = false;
    return {Signal::TopLevelComplete};
}

} // namespace snapvel::cdp
