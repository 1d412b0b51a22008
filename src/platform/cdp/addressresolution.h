#pragma once

#include "platform/result.h"

#include <QString>
#include <QUrl>

namespace snapvel::cdp {

// Resolves typed text to the URL a browser's address bar would load:
// example.com becomes http://example.com/, an absolute path a file:// URL.
// Addresses that would run script (javascript:) and text that resolves to no
// URL are refused with the reason.
Result<QUrl> resolveAddress(const QString &address);

} // namespace snapvel::cdp
