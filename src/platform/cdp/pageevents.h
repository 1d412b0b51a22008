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
        TopLevelComplete
    };

    // A new page session whose top-level frame has this id; nothing pending.
    void reset(const QString &mainFrameId);

    // The program asked for a navigation: its top-level completion is due.
    void navigationRequested();

    // The answer to Page.navigate: its result, or the error of the command.
    QList<Signal> navigationAnswered(const QJsonObject &result, const QString &error);

    // An event from the page's session.
    QList<Signal> handle(const QString &method, const QJsonObject &params);

    // The id of the page's own (top-level) frame.
    const QString &mainFrame() const { return m_mainFrame; }

private:
    QList<Signal> completeTopLevel();

    QString m_mainFrame;
    bool m_topLevelDue = false;
};

} // namespace snapvel::cdp
