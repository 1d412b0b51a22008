#pragma once

#include "snapshot/capturejob.h"

#include <chrono>

namespace snapvel::test {

// Starts the job and runs the event loop until it ends, or for at most
// `timeout`: its picture, or why it failed.
Result<QImage> runToEnd(CaptureJob &job,
                        std::chrono::milliseconds timeout = std::chrono::minutes(2));

} // namespace snapvel::test
