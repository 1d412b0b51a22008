#pragma once

#include "cli/options.h"
#include "cli/pagetask.h"
#include "platform/result.h"

#include <QList>

namespace snapvel::cli {

// What is loaded for each address and where its picture goes: the file -o
// names, or a file named from the address in the folder -o names, which is
// created when missing. The failure names -o and says why the output cannot
// be written there.
Result<QList<PageOrder>> planPages(const CaptureSettings &settings);

// What to load for an address given on the command line: a file that exists,
// named by a path relative to the current folder ("page.html",
// "docs/a.html"), by its absolute path, which the browser loads as a file;
// anything else as it is, for the browser to resolve the way its address bar
// does.
QString locationFor(const QString &address);

} // namespace snapvel::cli
