#pragma once

#include <QString>

namespace snapvel {

// The step of writing a file that failed; a refused permission means a
// different thing when the file is being created than when it is written.
enum class WriteStep
{
    Create,
    Write,
    Finish,
};

// The error number, among those with plain words, that Qt's error text names
// or, failing that, errorNumber itself; 0 when neither is one of them.
int recognisedError(int errorNumber, const QString &qtErrorText);

// Why writing a file failed, in plain words ("the disk is full"), from the
// operating system's error number and Qt's error text. The error text wins
// when it names a known error, because the error number may have been
// overwritten since the failing call; an unknown error keeps Qt's text.
// Never empty.
QString plainWriteReason(WriteStep step, int errorNumber, const QString &qtErrorText);

} // namespace snapvel
