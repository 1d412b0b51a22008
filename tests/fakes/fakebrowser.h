#pragma once

#include "platform/browser.h"

#include <QColor>
#include <QStringList>

#include <functional>

#include <optional>

namespace snapvel::test {

// A browser whose answers the test sets, recording what it was asked.
class FakeBrowser final : public Browser
{
    Q_OBJECT

public:
    using Browser::Browser;

    // What the test makes the browser answer.
    std::optional<DocumentMetrics> metrics; // nullopt: measuring fails
    bool failNavigate = false;
    bool failHideScrollbars = false;
    bool failPaint = false;
    bool document = false;
    // When set, paint() fills the area with this colour; otherwise a
    // pattern whose pixel at (x, y) is patternColour(x, y).
    std::optional<QColor> paintColour;
    // Called from inside paint(), for tests that act while a paint runs.
    std::function<void()> onPaint;

    // What the browser was asked.
    QStringList navigated;
    int hideScrollbarCalls = 0;
    int paintCalls = 0;
    QList<Placement> placementsSet;
    QList<Placement> placementsPainted;

    static QRgb patternColour(int x, int y);

    Status navigate(const QString &address) override;
    bool hasDocument() const override { return document; }
    Result<DocumentMetrics> measureDocument() override;
    Status hideScrollbars() override;
    Placement placement() const override { return m_placement; }
    Status setPlacement(const Placement &placement) override;
    QSize layoutViewport() const override { return m_viewport; }
    Status setLayoutViewport(QSize size) override;
    Result<QImage> paint() override;

    // Emit the browser's events as the real one would.
    void emitDownloadComplete() { emit downloadComplete(); }
    void emitDocumentComplete(bool topLevel) { emit documentComplete(topLevel); }
    bool emitNewWindowRequest()
    {
        bool cancel = false;
        emit newWindowRequested(&cancel);
        return cancel;
    }

private:
    Placement m_placement;
    QSize m_viewport;
};

} // namespace snapvel::test
