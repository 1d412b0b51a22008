#include "cli/addresslist.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>

namespace snapvel::cli {

Result<QStringList> readAddressList(QIODevice *device, const QString &sourceName)
{
    if (!device || !device->isReadable())
        return Failure{QStringLiteral("%1 cannot be read.").arg(sourceName)};
    // Standard input may be a terminal or a pipe: read to its end.
    const QByteArray all = device->readAll();
    QStringList addresses;
    for (const QByteArray &line : all.split('\n')) {
        const QString address = QString::fromUtf8(line).trimmed();
        if (address.isEmpty() || address.startsWith(QLatin1Char('#')))
            continue;
        addresses << address;
    }
    return addresses;
}

Result<QStringList> readAddressListFile(const QString &path)
{
    QFile file(path);
    if (QFileInfo(path).isDir())
        return Failure{QStringLiteral("%1 is a folder, not a list of addresses.").arg(path)};
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return Failure{QStringLiteral("%1 cannot be read: %2.").arg(path, file.errorString())};
    return readAddressList(&file, path);
}

} // namespace snapvel::cli
