#pragma once

#include "platform/browser.h"
#include "platform/cdp/connection.h"

#include <QHash>
#include <QList>
#include <QSize>
#include <QString>

#include <chrono>
#include <vector>

namespace snapvel {

namespace cdp {
class ChromiumProcess;
} // namespace cdp

class ChromiumPage;

// How the Chromium browser is started and driven.
struct ChromiumBrowserOptions
{
    // The Chromium to run; empty: the system's own, found when the browser
    // starts.
    QString executable;
    // The layout viewport a new page starts with.
    QSize layoutViewport{1280, 800};
    PageTimeouts pageTimeouts;
    // How long Chromium may take to start and answer its first command.
    std::chrono::milliseconds startTimeout{30000};
    // How long the running browser process may take over a command of its
    // own (opening or closing a tab) before it counts as hung and is
    // replaced.
    std::chrono::milliseconds browserTimeout{30000};
};

// The browser, a headless Chromium out of the user's sight, driven over the
// DevTools pipe. Chromium starts as soon as this object exists, without
// waiting for it, so that it is ready by the time an address has been typed.
// If Chromium dies, its pipe closes or it stops answering, its pages are lost
// and stopped() is emitted; the next openPage() starts a fresh one.
// Destroying this object closes Chromium and deletes its profile.
class ChromiumBrowser final : public Browser
{
    Q_OBJECT

public:
    explicit ChromiumBrowser(QObject *parent = nullptr);
    explicit ChromiumBrowser(const ChromiumBrowserOptions &options, QObject *parent = nullptr);
    ~ChromiumBrowser() override;

    Page *openPage() override;
    Status startStatus() const override { return m_launchStatus; }

    // For diagnostics and tests: the running Chromium's process id (0 when
    // none runs), its profile folder, and how many pages (tabs and windows,
    // the program's or not) it holds.
    qint64 processId() const;
    QString profilePath() const;
    void countPages(Done<int> done);

private:
    friend class ChromiumPage;

    bool isRunning() const { return m_connection != nullptr; }
    // Starts Chromium when none runs; false when it cannot be started.
    bool ensureRunning();
    void launch();
    // Gives up the running Chromium: kills it (its clean-up finishes in the
    // background), loses its pages and emits stopped().
    void stopBrowser(const Failure &why);
    // The pipe closed or the process ended: before Chromium was ready, it
    // could not start, and its exit says why.
    void browserEnded();
    void createTarget(ChromiumPage *page);
    void onEvent(const cdp::Message &message);
    void onAttached(const cdp::Message &message);
    void attachPage(ChromiumPage *page, const QString &sessionId);
    void handleNewWindow(ChromiumPage *opener, const QString &targetId, const QString &sessionId);
    void letRunAndDetach(const QString &sessionId);
    void releaseUnclaimedTargets();

    // Sends a command on the browser's own session, once Chromium has
    // started. One that times out means the browser process is hung: it is
    // replaced.
    void sendToBrowser(const QString &method, const QJsonObject &params,
                       cdp::Connection::Reply done = {});
    void sendNow(const QString &method, const QJsonObject &params,
                 std::chrono::milliseconds timeout, cdp::Connection::Reply done);
    void becomeReady();
    // A page was lost: it gets no more events, and its tab is closed.
    void pageLost(ChromiumPage *page, const Failure &why);
    void pageDestroyed(ChromiumPage *page);
    void forget(ChromiumPage *page);

    ChromiumBrowserOptions m_options;
    cdp::ChromiumProcess *m_process = nullptr;
    cdp::Connection *m_connection = nullptr;
    Status m_launchStatus;
    QList<ChromiumPage *> m_pages;                    // every page not yet destroyed
    QHash<QString, ChromiumPage *> m_sessions;        // session id -> attached page
    QHash<QString, ChromiumPage *> m_targets;         // target id -> page
    QHash<QString, ChromiumPage *> m_awaitingSession; // tab created, not yet attached
    // Tabs attached before the reply that says whose they are: target id ->
    // session id.
    QHash<QString, QString> m_unclaimed;
    int m_creating = 0; // tabs asked for and not yet answered
    // Whether Chromium has answered its first command; until then the
    // browser's own commands wait here.
    bool m_ready = false;
    // Whether this Chromium cancels authentication challenges by itself, so
    // that its pages need not intercept requests to do it. Until its version
    // has been read, it is taken not to.
    bool m_cancelsChallenges = false;
    struct BrowserCommand
    {
        QString method;
        QJsonObject params;
        cdp::Connection::Reply done;
    };
    std::vector<BrowserCommand> m_waiting;
};

} // namespace snapvel
