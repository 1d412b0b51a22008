#pragma once

#include <QString>

namespace snapvel {
class Page;
}

namespace snapvel::test {

// Navigates to an address and waits until its top-level document completes.
// Returns false, with a warning that says why, when the navigation is refused,
// the page is lost or it does not complete in time.
bool loadAndWait(Page &page, const QString &address, int timeoutMs = 60000);

} // namespace snapvel::test
