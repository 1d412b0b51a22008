#include "fakes/fakebrowser.h"

#include <QPainter>

namespace snapvel::test {

QRgb FakeBrowser::patternColour(int x, int y)
{
    return qRgb(x % 256, y % 256, (x / 256 + y / 256) % 256);
}

Status FakeBrowser::navigate(const QString &address)
{
    navigated << address;
    if (failNavigate)
        return Failure{QStringLiteral("The browser could not be reached.")};
    document = true;
    return {};
}

Result<DocumentMetrics> FakeBrowser::measureDocument()
{
    if (!metrics)
        return Failure{QStringLiteral("No page is loaded.")};
    return *metrics;
}

Status FakeBrowser::hideScrollbars()
{
    ++hideScrollbarCalls;
    if (failHideScrollbars)
        return Failure{QStringLiteral("No page is loaded.")};
    return {};
}

Status FakeBrowser::setPlacement(const Placement &placement)
{
    placementsSet << placement;
    if (placement.width < 0 || placement.height < 0)
        return Failure{QStringLiteral("A browser cannot have a negative size.")};
    m_placement = placement;
    return {};
}

Status FakeBrowser::setLayoutViewport(QSize size)
{
    m_viewport = size;
    return {};
}

Result<QImage> FakeBrowser::paint()
{
    ++paintCalls;
    placementsPainted << m_placement;
    if (onPaint)
        onPaint();
    if (failPaint)
        return Failure{QStringLiteral("The browser stopped responding.")};
    if (m_placement.width <= 0 || m_placement.height <= 0)
        return Failure{QStringLiteral("The page has nothing to paint.")};
    QImage image(m_placement.width, m_placement.height, QImage::Format_RGB32);
    if (paintColour) {
        image.fill(*paintColour);
    } else {
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = patternColour(x, y);
        }
    }
    return image;
}

} // namespace snapvel::test
