#pragma once

#include <QtGlobal>

namespace snapvel {

// The memory this process may still take, in bytes: what the system has
// available, or less when the process's control group is limited to less.
// 0 when it cannot be told.
qint64 availableMemoryBytes();

// The memory the pictures of captures may take at once, given what is
// available: half of it, so that the browser's own copy of each picture
// while it paints, and the rest of the system, still fit. 0 when the
// available memory cannot be told.
inline qint64 pictureMemoryBudget(qint64 availableBytes)
{
    return availableBytes > 0 ? availableBytes / 2 : 0;
}

} // namespace snapvel
