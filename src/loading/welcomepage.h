#pragma once

#include <QString>

namespace snapvel {

// The address offered first in the address prompt: the welcome page that is
// installed beside the program, as a file:// URL, so the first capture works
// without a network. Falls back to a public page when it is missing.
QString welcomePageAddress();

} // namespace snapvel
