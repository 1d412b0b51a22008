#include "snapshot/pagecapture.h"

#include <limits>

namespace snapvel {

namespace {

// Side lengths that QImage and the browser's placement can address. Any page
// larger than this in either direction cannot be held as one picture.
constexpr qint64 kMaxSide = std::numeric_limits<int>::max() / 4;

} // namespace

PageCapture::PageCapture(Browser &browser) : m_browser(browser) {}

void PageCapture::storeRestingPlacement()
{
    m_resting = m_browser.placement();
}

Result<QSize> PageCapture::fitBrowserToPage()
{
    const auto metrics = m_browser.measureDocument();
    if (!metrics)
        return Failure{metrics.error()};

    const PageSize page = pageSizeFrom(metrics.value());
    if (page.width <= 0 || page.height <= 0)
        return Failure{QStringLiteral("The page is empty: it has nothing to paint.")};
    if (page.width > kMaxSide || page.height > kMaxSide)
        return Failure{QStringLiteral("The page is too large to capture (%1 x %2 pixels).")
                           .arg(page.width)
                           .arg(page.height)};

    const QSize size(int(page.width), int(page.height));
    const Status moved = m_browser.setPlacement({0, 0, size.width(), size.height()});
    if (!moved)
        return Failure{moved.error()};
    return size;
}

Status PageCapture::restoreBrowser()
{
    return m_browser.setPlacement(m_resting);
}

} // namespace snapvel
