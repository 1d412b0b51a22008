#include "platform/cdp/pageevents.h"

namespace snapvel::cdp {

void PageEvents::reset(const QString &mainFrameId)
{
    m_mainFrame = mainFrameId;
    m_topLevelDue = false;
    m_errorPageDue = false;
}

void PageEvents::navigationRequested()
{
    m_topLevelDue = true;
    m_errorPageDue = false;
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
    if (!result.contains(QLatin1String("loaderId")))
        return QList<Signal>{Signal::DownloadComplete} + completeTopLevel();
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
    if (method == QLatin1String("Page.frameStoppedLoading")) {
        if (frameId != m_mainFrame)
            return {Signal::FrameComplete};
        return completeTopLevel();
    }
    if (method == QLatin1String("Page.frameNavigated")) {
        const QJsonObject frame = params.value(QLatin1String("frame")).toObject();
        if (frame.contains(QLatin1String("parentId")))
            return {};
        m_mainFrame = frame.value(QLatin1String("id")).toString();
        m_errorPageDue = false;
        // The load ended with Chromium's error page.
        if (frame.contains(QLatin1String("unreachableUrl")) ||
            frame.value(QLatin1String("url")).toString().startsWith(QLatin1String("chrome-error:")))
            return {Signal::DownloadComplete};
    }
    return {};
}

QList<PageEvents::Signal> PageEvents::errorPageOverdue()
{
    if (!m_errorPageDue)
        return {};
    m_errorPageDue = false;
    QList<Signal> signalList =
        failNavigation(QStringLiteral("The page could not be loaded (%1).").arg(m_errorText));
    // Its download was ended when the navigation was answered.
    signalList.removeAll(Signal::DownloadComplete);
    return signalList;
}

QList<PageEvents::Signal> PageEvents::failNavigation(const QString &why)
{
    m_topLevelDue = false;
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
