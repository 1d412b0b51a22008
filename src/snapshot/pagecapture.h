#pragma once

#include "platform/browser.h"
#include "snapshot/pagesize.h"

#include <QImage>
#include <QSize>

namespace snapvel {

// Enlarges the browser to the whole page for painting, and puts it back.
//
// The browser's resting placement is stored once and restored after every
// capture. Enlarging the browser changes only the area that is painted: the
// layout viewport keeps its resting size, so content sized to the viewport
// does not grow with the capture.
class PageCapture
{
public:
    explicit PageCapture(Browser &browser);

    // Records the browser's current placement as its resting placement.
    void storeRestingPlacement();
    Placement restingPlacement() const { return m_resting; }

    // Measures the document and moves the browser to (0, 0) with the page's
    // size. Fails, leaving the browser where it was, when the page cannot be
    // measured or is too large to be painted.
    Result<QSize> fitBrowserToPage();

    // Puts the browser back at its resting placement.
    Status restoreBrowser();

private:
    Browser &m_browser;
    Placement m_resting;
};

} // namespace snapvel
