#pragma once

#include "snapshot/capturejob.h"

namespace snapvel::bench {

// Starts the job and runs the event loop until it ends: its picture, or why
// it failed.
Result<QImage> runToEnd(CaptureJob &job);

} // namespace snapvel::bench
