#include "platform/cdp/pageevents.h"

namespace snapvel::cdp {

void PageEvents::reset(const QString &mainFrameId)
{
    m_mainFrame = mainFrameId;
    m_topLevelDue = false;
}

void PageEvents::navigationRequested()
{
    m_topLevelDue = true;
}

QList<PageEvents::Signal> PageEvents::navigationAnswered(const QJsonObject &result,
                                                         const QString &error)
{
    // A navigation that failed still ends a download. Chromium shows an error
    // page for it, whose loading completes the top-level document.
    if (!error.isEmpty() || !result.value(QLatin1String("errorText")).toString().isEmpty())
        return {Signal::DownloadComplete};
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
        // The load ended with Chromium's error page.
        if (frame.contains(QLatin1String("unreachableUrl")) ||
            frame.value(QLatin1String("url")).toString().startsWith(QLatin1String("chrome-error:")))
            return {Signal::DownloadComplete};
    }
    return {};
}

QList<PageEvents::Signal> PageEvents::completeTopLevel()
{
    if (!m_topLevelDue)
        return {};
    m_topLevelDue = false;
    return {Signal::TopLevelComplete};
}

} // namespace snapvel::cdp
