#pragma once

#include <QString>

namespace snapvel {

// The address offered first in the address prompt: the welcome page that
// ships with the program, as a file:// URL, so the first capture works without
// a network. Falls back to a public page when it is missing.
QString welcomePageAddress();

// The same for a program in programFolder: the page beside the program (a
// build folder) comes first, then ../share/snapvel/ (an installation).
QString welcomePageAddress(const QString &programFolder);

} // namespace snapvel
