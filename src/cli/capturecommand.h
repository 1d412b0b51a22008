#pragma once

#include <optional>

namespace snapvel::cli {

// `snapvel capture ...`: captures pages to files without a window, and
// without a display. argv[1] is "capture". Returns the exit status: 0 when
// every page was captured, 1 when some were not, 2 for a usage error.
int runCaptureCommand(int argc, char *argv[]);

// `snapvel --help` and `snapvel --version`, answered without a window or a
// display: the exit status, or nothing when the arguments are not one of
// these alone.
std::optional<int> runProgramOption(int argc, char *argv[]);

} // namespace snapvel::cli
