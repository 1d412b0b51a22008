#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

namespace snapvel::cdp {

// What the page's DevTools events mean to the program: a download finished,
// a frame's document completed, or the page's own (top-level) document
// completed. Exactly one top-level completion follows each load of the page;
// frames complete before it.
class PageEvents
{
public:
    enum class Signal
    {
        DownloadComplete,
        FrameComplete,
        TopLevelComplete,
        // The navigation ended without a document (see navigationFailure()).
        NavigationFailed,
        // The page's own document was replaced by one the program did not
        // ask for; its top-level completion follows.
        DocumentReplaced
    };

    // A new page session whose top-level frame has this id; nothing pending.
    void reset(const QString &mainFrameId);

    // The program asked for a navigation: its top-level completion is due.
    void navigationRequested();

    // The answer to Page.navigate: its result, or the error of the command.
    QList<Signal> navigationAnswered(const QJsonObject &result, const QString &error);

    // An event from the page's session.
    QList<Signal> handle(const QString &method, const QJsonObject &params);

    // A failed navigation's error page has not come: the navigation ended
    // without a document after all. Nothing when it came meanwhile.
    QList<Signal> errorPageOverdue();
    // Whether a failed navigation's error page is still to come.
    bool errorPageDue() const { return m_errorPageDue; }

    // Why the latest navigation ended without a document, in plain words.
    const QString &navigationFailure() const { return m_navigationFailure; }

    // Why the current top-level document is Chromium's error page, in plain
    // words; empty when it is the address's own document.
    QString documentError() const;

    // The id of the page's own (top-level) frame.
    const QString &mainFrame() const { return m_mainFrame; }

    // How many documents have been put in place in the page's own frame,
    // counted as the events come (before their signals are reported).
    quint64 documentsCommitted() const { return m_documentsCommitted; }
    // Whether a navigation the page started itself (its script, a refresh)
    // is under way and has not yet put its document in place or ended.
    bool pageNavigating() const { return m_pageNavigating; }
    // Where the latest navigation the page started itself was going.
    const QString &pageNavigationTarget() const { return m_pageNavigationTarget; }

private:
    QList<Signal> completeTopLevel();
    QList<Signal> failNavigation(const QString &why);

    QString m_mainFrame;
    bool m_topLevelDue = false;
    // The program's navigation has not yet put its document in place.
    bool m_ownDocumentDue = false;
    quint64 m_documentsCommitted = 0;
    bool m_pageNavigating = false;
    QString m_pageNavigationTarget;
    bool m_errorPageDue = false;
    QString m_errorText;
    bool m_showsErrorPage = false;
    QString m_navigationFailure;
};

} // namespace snapvel::cdp
