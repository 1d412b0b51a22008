#pragma once

#include <QString>

namespace snapvel::cli {

// The text of `snapvel capture --help`.
QString captureHelpText();

// The text of `snapvel --help`: the window and the command.
QString programHelpText();

} // namespace snapvel::cli
