#pragma once

#include "platform/result.h"

#include <QString>
#include <QStringList>

class QIODevice;

namespace snapvel::cli {

// Reads a list of addresses, one a line. Blank lines and lines whose first
// non-blank character is # are skipped; surrounding white space is dropped.
// The failure names the source and says why it could not be read.
Result<QStringList> readAddressList(QIODevice *device, const QString &sourceName);
Result<QStringList> readAddressListFile(const QString &path);

} // namespace snapvel::cli
