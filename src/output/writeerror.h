#pragma once

#include <QString>

namespace snapvel {

// The step of writing a file that failed; a refused permission means a
// different thing when the file is being created than when it is written,
// and another when an existing file is to be replaced.
enum class WriteStep
{
    Create,
    Replace,
    Write,
    Finish,
};

// Why writing a file failed, in plain words ("the disk is full"), from the
// error number of the system call that failed. The words do not depend on
// the language the system speaks. An error number without plain words, or
// none (0), is told by systemText, the system's own description. Never empty.
QString plainWriteReason(WriteStep step, int errorNumber, const QString &systemText);

} // namespace snapvel
