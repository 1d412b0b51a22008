#pragma once

#include "platform/browser.h"
#include "platform/cdp/capturepreparation.h"
#include "platform/cdp/connection.h"
#include "platform/cdp/pageevents.h"
#include "platform/cdp/pageguards.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace snapvel {

class ChromiumBrowser;

// One tab of the Chromium browser, driven over its own flat session on the
// browser's connection. The browser creates the tab and hands the page its
// session once Chromium has attached to it; requests made before then wait
// and are sent in order when the tab is ready.
//
// Loading events are reported only once a round trip through the browser
// process has shown that the renderer did not die meanwhile: a renderer that
// crashes during a load stops the load (which would look like a completed
// document) just before Chromium reports the crash.
class ChromiumPage final : public Page
{
    Q_OBJECT

public:
    ChromiumPage(ChromiumBrowser &browser, QSize layoutViewport, const PageTimeouts &timeouts);
    ~ChromiumPage() override;

    Status navigate(const QString &address) override;
    bool hasDocument() const override { return m_hasDocument; }
    QString documentError() const override { return m_events.documentError(); }
    QString stoppedNavigation() const override { return m_stoppedNavigation; }
    bool isLost() const override { return m_loss.has_value(); }
    void measureDocument(Done<DocumentMetrics> done) override;
    void hideScrollbars() override;
    Placement placement() const override { return m_placement; }
    Status setPlacement(const Placement &placement) override;
    QSize layoutViewport() const override { return m_layoutViewport; }
    qreal deviceScale() const override { return m_deviceScale; }
    Status setLayoutViewport(QSize size, qreal deviceScale = 1.0) override;
    void waitForNetworkIdle(std::chrono::milliseconds timeout, Done<bool> done) override;
    void prepareForCapture(const CapturePreparation &what, Done<bool> done) override;
    void paint(const QRect &clip, Done<QByteArray> png) override;

    // What the browser tells its page.
    QString targetId() const { return m_targetId; }
    void setTargetId(const QString &targetId) { m_targetId = targetId; }
    // Chromium has attached to the tab, paused, on this session.
    // `answerChallenges`: see cdp::PageGuards::attach.
    void attach(cdp::Connection &connection, const QString &sessionId, bool answerChallenges);
    void handleEvent(const cdp::Message &message);
    // The page can no longer be used. Sets the state at once; lost() and the
    // failures of the requests under way follow from the event loop.
    void lose(const Failure &why);
    // The page opened a window; setting *cancel refuses it.
    void askForNewWindow(bool *cancel) { emit newWindowRequested(cancel); }
    // The browser is going away and deletes its pages.
    void detachFromBrowser() { m_browser = nullptr; }

    // For diagnostics and tests: sends one DevTools command on the page's
    // session (once the page is ready) and hands over its result.
    void call(const QString &method, const QJsonObject &params, Done<QJsonObject> done);

private:
    using Reply = cdp::Connection::Reply;

    struct Command
    {
        QString method;
        QJsonObject params;
        std::chrono::milliseconds timeout;
        bool keepData = false;
        // Runs just before the command is written.
        std::function<void()> beforeSend;
    };

    // Sends a command on the page's session now, or once the page is ready.
    // `done` gets the reply, or the loss's failure when the page is lost
    // first. A command that times out loses the page.
    // Returns the request's number.
    quint64 command(Command command, Reply done, bool evenBeforeReady = false);
    // The page's own document has been replaced: paints under way fail.
    void failPaintsUnderWay();
    void sendNow(quint64 request, const Command &command);
    void answered(quint64 request, Result<cdp::Message> reply);
    template <typename T> void failLater(Done<T> done, const Failure &failure);
    void becomeReady(const QString &mainFrame);
    void applyLayoutViewport(bool evenBeforeReady);
    void applyScrollbarsHidden(bool evenBeforeReady);
    void navigationAnswered(const Result<cdp::Message> &reply);
    void onLifecycleEvent(const QJsonObject &params);
    void networkWentIdle();
    // Times a navigation the page started itself, and stops it when it has
    // put no document in place in time.
    void watchPageNavigation();
    void stopPageNavigation();
    void holdSignals(const QList<cdp::PageEvents::Signal> &pageSignals);
    void confirmAlive();
    void releaseSignals(quint64 epoch, qsizetype count);
    // Whether the renderer may be checked for responsiveness now.
    bool mayCheckRenderer() const;
    std::optional<Failure> unusable() const;

    ChromiumBrowser *m_browser;
    PageTimeouts m_timeouts;
    QPointer<cdp::Connection> m_connection;
    QString m_targetId;
    QString m_sessionId;
    bool m_ready = false;
    std::optional<Failure> m_loss;

    quint64 m_nextRequest = 0;
    QHash<quint64, Reply> m_underWay;    // sent or waiting, not yet answered
    std::vector<quint64> m_waitingOrder; // waiting for the page to be ready
    QHash<quint64, Command> m_waiting;
    // Paints not yet answered. Chromium never answers a paint whose document
    // is replaced while it paints.
    QSet<quint64> m_paintsUnderWay;

    bool m_hasDocument = false;
    quint64 m_navigation = 0;          // the latest navigate()
    quint64 m_eventsFrom = UINT64_MAX; // events before the latest navigation's are stale
    cdp::PageEvents m_events;
    QList<cdp::PageEvents::Signal> m_held; // waiting for the renderer to be confirmed alive
    quint64 m_epoch = 0;                   // bumped by each navigation: older signals are dropped
    bool m_confirming = false;
    int m_navigationsUnderWay = 0; // Page.navigate commands not yet answered
    cdp::PageGuards *m_guards;
    QTimer *m_pageNavigationWait;
    QString m_stoppedNavigation;
    // Prepares the document for captures, and paints its frames.
    cdp::CapturePreparer *m_preparer;

    // Whether the current document's network has gone quiet, and who waits
    // for it.
    bool m_networkIdle = false;
    quint64 m_nextIdleWaiter = 0;
    QHash<quint64, Done<bool>> m_idleWaiters;

    bool m_scrollbarsHidden = false;
    Placement m_placement;
    QSize m_layoutViewport;
    qreal m_deviceScale = 1.0;
};

} // namespace snapvel
