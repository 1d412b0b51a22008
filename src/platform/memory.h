#pragma once

#include <QtGlobal>

namespace snapvel {

// The memory this process may still take, in bytes: what the system has
// available, or less when the process's control group is limited to less.
// 0 when it cannot be told.
qint64 availableMemoryBytes();

} // namespace snapvel
