#pragma once

#include "platform/result.h"

#include <QString>

#include <functional>

class QIODevice;

namespace snapvel {

// "Cannot write PATH: REASON." — how every failure to write a file reads.
Failure cannotWrite(const QString &path, const QString &reason);

// Writes the file at path through a ReplacingFile (see replacingfile.h):
// the new bytes take the file's place only once all of them have been
// written, and after a failure the earlier file is unchanged. A path that
// names a folder, or whose folder is missing or is a file, is refused before
// anything is written. `write` puts the bytes into the device; its failure
// is the reason alone. The failure names the path and says why in plain
// words, from the failing system call's error number where there is one.
Status writeReplacing(const QString &path, const std::function<Status(QIODevice &)> &write);

} // namespace snapvel
