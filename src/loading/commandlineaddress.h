#pragma once

#include <QString>
#include <QStringList>

namespace snapvel {

// The address given on the command line (`snapvel ADDRESS`, as the desktop
// entry's %u passes it), to be offered in the address prompt; "" when there is
// none. arguments are the program's, its own name first. Only a first argument
// that is neither an option ("-...") nor the "capture" sub-command counts.
QString addressFromCommandLine(const QStringList &arguments);

} // namespace snapvel
