#pragma once

#include "platform/cdp/connection.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>

class QTimer;

namespace snapvel::cdp {

// Settings that hold for the whole browser, sent on its own session as soon
// as Chromium has started and before any page exists: downloads are refused
// in every form (an attachment, a frame pointing at one, a file Chromium
// cannot show), so that no page writes anything to disk.
void guardBrowser(Connection &connection);

// Whether the browser whose Browser.getVersion names `product` cancels an
// HTTP authentication challenge by itself, showing the server's page: the
// headless shell ("HeadlessChrome/..."), not the desktop Chromium
// ("Chrome/...", even when it runs headless). Passing requests through the
// guards has a cost of its own: while any are intercepted, every request of
// the page goes through DevTools (a page of 300 small images loaded in
// 0.8 s so, and in 0.55 s without).
bool cancelsChallengesItself(const QString &product);

// Keeps a page from stopping itself, or the program, for good:
//
// - JavaScript dialogs (alert, confirm, prompt, beforeunload) are dismissed
//   as they open, so that loads complete and captures do not wait for an
//   answer nobody can give. A beforeunload prompt is accepted, so that the
//   next address loads.
// - An HTTP authentication challenge (401) is cancelled at once instead of
//   waiting for a user name and password: the server's own page is shown.
//   Chromium's headless shell does that by itself; the desktop Chromium,
//   headless too, fails such a page or leaves such a frame waiting, so
//   there the page's documents pass through the guards, which cancel the
//   challenge.
// - While the page is otherwise idle, its renderer is asked every few seconds
//   for a trivial answer, with its own deadline. A renderer that does not
//   answer (a script that never yields, before or after the load) is
//   reported through unresponsive(). A page slow on the network answers, so
//   it is never taken for a hung one.
class PageGuards : public QObject
{
    Q_OBJECT

public:
    // `deadline`: how long the renderer may take to answer a check. It is
    // checked every quarter of that.
    PageGuards(std::chrono::milliseconds deadline, QObject *parent = nullptr);

    // Chromium has attached to the page on this session; called before the
    // page is let run, so that its first load is already guarded.
    // `answerChallenges`: whether authentication challenges must be
    // cancelled here (see cancelsChallengesItself).
    void attach(Connection &connection, const QString &sessionId, bool answerChallenges);

    // Answers an event of the page's session that is the guards' business;
    // returns whether it was.
    bool handleEvent(const Message &message);

    // Whether the renderer may be checked now: the page has a document and
    // no request of its own is under way (those have their own deadlines,
    // and a long paint may hold the renderer's answer back).
    void setMayCheck(std::function<bool()> mayCheck) { m_mayCheck = std::move(mayCheck); }

    // Stops checking for good (the page is lost).
    void stop();

signals:
    // The renderer did not answer a check in time.
    void unresponsive();

private:
    void check();
    void send(const QString &method, const QJsonObject &params);

    std::chrono::milliseconds m_deadline;
    QPointer<Connection> m_connection;
    QString m_sessionId;
    std::function<bool()> m_mayCheck;
    QTimer *m_timer = nullptr;
    bool m_checking = false;
    bool m_stopped = false;
};

} // namespace snapvel::cdp
