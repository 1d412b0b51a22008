#pragma once

#include "platform/browser.h"

#include <QColor>
#include <QList>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <optional>

namespace snapvel::test {

class FakeBrowser;

// A page of the fake browser: answers as its browser is told to, later from
// the event loop as a real page does, and records what it was asked there.
class FakePage final : public Page
{
    Q_OBJECT

public:
    explicit FakePage(FakeBrowser &browser);

    Status navigate(const QString &address) override;
    bool hasDocument() const override;
    bool isLost() const override { return m_lost.has_value(); }
    QString documentError() const override;
    void measureDocument(Done<DocumentMetrics> done) override;
    void hideScrollbars() override;
    Placement placement() const override { return m_placement; }
    Status setPlacement(const Placement &placement) override;
    QSize layoutViewport() const override { return m_viewport; }
    qreal deviceScale() const override { return m_scale; }
    Status setLayoutViewport(QSize size, qreal deviceScale = 1.0) override;
    void waitForNetworkIdle(std::chrono::milliseconds timeout, Done<bool> done) override;
    void prepareForCapture(const CapturePreparation &what, Done<bool> done) override;
    void paint(const QRect &clip, Done<QByteArray> png) override;

    // Loses the page as a crashed renderer or a stopped browser would.
    void lose(const Failure &why);

    void emitDownloadComplete() { emit downloadComplete(); }
    void emitDocumentComplete(bool topLevel) { emit documentComplete(topLevel); }
    void emitNavigationFailed(const Failure &why) { emit navigationFailed(why); }
    void emitDocumentReplaced() { emit documentReplaced(); }
    bool emitNewWindowRequest()
    {
        bool cancel = false;
        emit newWindowRequested(&cancel);
        return cancel;
    }

private:
    // Hands the outcome over after `delayMs`, unless the page is lost first,
    // in which case the loss's failure is handed over at once.
    template <typename T> void answer(Done<T> done, Result<T> outcome, int delayMs = 0);

    FakeBrowser &m_browser;
    Placement m_placement;
    QSize m_viewport;
    qreal m_scale = 1.0;
    std::optional<Failure> m_lost;
    QList<std::function<void()>> m_onLoss;
};

// A browser whose answers the test sets, recording what its pages were
// asked. The settings apply to every page it opens.
class FakeBrowser final : public Browser
{
    Q_OBJECT

public:
    using Browser::Browser;

    // What the test makes the pages answer.
    std::optional<DocumentMetrics> metrics; // nullopt: measuring fails
    // How many of the next measurements fail as if the document were
    // replaced under them.
    int replacedMeasures = 0;
    bool failNavigate = false;
    bool failPaint = false;
    bool document = false;
    QString documentError; // the error page's words; empty: the address's own
    // When set, paints fill the area with this colour; otherwise a pattern
    // whose pixel at (x, y) is patternColour(x, y).
    std::optional<QColor> paintColour;
    // Called when a page is asked to paint, for tests that act meanwhile.
    std::function<void()> onPaint;
    // How long each paint takes to come back.
    int paintDelayMs = 0;
    // When set, paints never come back (as from a hung page).
    bool holdPaints = false;
    // When set, what startStatus() says.
    std::optional<Failure> startFailure;

    // What the pages were asked.
    QStringList navigated;
    int hideScrollbarCalls = 0;
    QList<CapturePreparation> preparations;
    int paintCalls = 0;
    QList<Placement> placementsPainted;
    QList<QRect> clipsPainted;
    int pagesOpened = 0;

    static QRgb patternColour(int x, int y);

    Page *openPage() override;
    Status startStatus() const override { return startFailure ? Status(*startFailure) : Status(); }

    // The page opened last (nullptr before the first).
    FakePage *page() const { return m_pages.isEmpty() ? nullptr : m_pages.last().data(); }

    // Emit the current page's events as the real browser would.
    void emitDownloadComplete() { page()->emitDownloadComplete(); }
    void emitDocumentComplete(bool topLevel) { page()->emitDocumentComplete(topLevel); }
    void emitNavigationFailed(const Failure &why) { page()->emitNavigationFailed(why); }
    void emitDocumentReplaced() { page()->emitDocumentReplaced(); }
    bool emitNewWindowRequest() { return page()->emitNewWindowRequest(); }

    // The browser process stops: every page is lost.
    void stop(const Failure &why);

private:
    QList<QPointer<FakePage>> m_pages;
};

} // namespace snapvel::test
