#pragma once

#include "platform/browser.h"

#include <QSize>
#include <QString>

#include <chrono>
#include <memory>

namespace snapvel {

namespace cdp {
class ChromiumProcess;
class Connection;
class PageEvents;
struct Message;
} // namespace cdp

// How the Chromium browser is started and driven.
struct ChromiumBrowserOptions
{
    QString executable = QStringLiteral("/usr/bin/chromium");
    // The longest any one call waits for the browser.
    std::chrono::milliseconds callTimeout{30000};
    // The tallest band painted at once; taller areas are painted in bands.
    int paintBandHeight = 32768;
    QSize layoutViewport{1280, 800};
};

// The browser, a headless Chromium out of the user's sight, driven over the
// DevTools pipe. Chromium starts as soon as this object exists, so that it is
// ready by the time an address has been typed; the first call waits for it.
// If Chromium dies, the calls waiting on it fail and the next use starts a
// fresh one. Destroying this object closes Chromium and deletes its profile.
class ChromiumBrowser final : public Browser
{
    Q_OBJECT

public:
    explicit ChromiumBrowser(QObject *parent = nullptr);
    explicit ChromiumBrowser(const ChromiumBrowserOptions &options, QObject *parent = nullptr);
    ~ChromiumBrowser() override;

    Status navigate(const QString &address) override;
    bool hasDocument() const override;
    Result<DocumentMetrics> measureDocument() override;
    Status hideScrollbars() override;
    Placement placement() const override { return m_placement; }
    Status setPlacement(const Placement &placement) override;
    QSize layoutViewport() const override { return m_layoutViewport; }
    Status setLayoutViewport(QSize size) override;
    Result<QImage> paint() override;

    // For diagnostics and tests: the running Chromium's process id (0 when
    // none runs), its profile folder, and how many pages (tabs and windows)
    // it holds.
    qint64 processId() const;
    // Whether Chromium could be started; says why not (for instance that it
    // is not installed) when it could not.
    Status startStatus() const { return m_launchStatus; }
    QString profilePath() const;
    Result<int> pageCount();

private:
    void launch();
    void discard();
    // A Chromium that stopped is forgotten and a fresh one started (without
    // waiting for it). Returns whether that happened.
    bool replaceIfStopped();
    Status ensureReady();
    Status attach();
    Status requireDocument();
    Status applyLayoutViewport();
    Result<QImage> paintBand(const QRect &band);
    void onMessage(const cdp::Message &message);
    void onBrowserEvent(const cdp::Message &message);
    void onPageEvent(const cdp::Message &message);

    ChromiumBrowserOptions m_options;
    std::unique_ptr<cdp::ChromiumProcess> m_process;
    std::unique_ptr<cdp::Connection> m_connection;
    std::unique_ptr<cdp::PageEvents> m_pageEvents;
    Status m_launchStatus;
    bool m_attached = false;
    QString m_targetId;
    QString m_sessionId;
    bool m_hasDocument = false;
    bool m_scrollbarsHidden = false;
    int m_navigationId = 0;
    quint64 m_eventsFrom = 0;
    Placement m_placement;
    QSize m_layoutViewport;
};

} // namespace snapvel
