#pragma once

#include "platform/result.h"

namespace snapvel::cdp {

// How the loss of the browser or of one of its pages is told, wherever in
// the DevTools layer it is noticed.
inline Failure browserGone()
{
    return Failure{QStringLiteral("The browser stopped unexpectedly."), FailureKind::BrowserLost};
}

inline Failure pageClosed()
{
    return Failure{QStringLiteral("The page was closed."), FailureKind::PageCrashed};
}

inline Failure rendererCrashed()
{
    return Failure{QStringLiteral("The page's renderer crashed."), FailureKind::PageCrashed};
}

} // namespace snapvel::cdp
