#pragma once

#include <QString>

namespace snapvel {
class Browser;
}

namespace snapvel::test {

// Navigates to an address and waits until its top-level document completes.
// Returns false, with a warning that says why, when the navigation is refused
// or the page does not complete in time.
bool loadAndWait(Browser &browser, const QString &address, int timeoutMs = 60000);

} // namespace snapvel::test
