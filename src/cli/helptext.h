#pragma once

#include <QString>

namespace snapvel::cli {

// The text of `snapvel capture --help`.
QString captureHelpText();

} // namespace snapvel::cli
