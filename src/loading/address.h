#pragma once

#include <QString>

namespace snapvel {

// Whether text given as an address would run script in the loaded page
// (a javascript: address, in any letter case, after leading blanks).
bool isScriptAddress(const QString &text);

// Why such text is not loaded, in words for the user.
QString scriptAddressRefusal();

} // namespace snapvel
