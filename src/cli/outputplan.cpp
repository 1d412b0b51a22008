#include "cli/outputplan.h"

#include "cli/outputnaming.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace snapvel::cli {

QString locationFor(const QString &address)
{
    // A scheme ("https:", "file:", "about:") means an address, not a path.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    if (address.isEmpty() || scheme.match(address).hasMatch())
        return address;
    const QFileInfo file(address);
    return file.isFile() ? file.absoluteFilePath() : address;
}

Result<QList<PageOrder>> planPages(const CaptureSettings &settings)
{
    QList<PageOrder> orders;
    if (!settings.outputIsFolder) {
        const QFileInfo folder(QFileInfo(settings.output).absolutePath());
        if (!folder.isDir())
            return Failure{QStringLiteral("-o: the folder %1 does not exist.")
                               .arg(QDir::toNativeSeparators(folder.filePath()))};
        const QString address = settings.addresses.value(0);
        orders.append({1, address, locationFor(address), settings.output});
        return orders;
    }

    const QDir folder(settings.output);
    if (QFileInfo(settings.output).exists() && !QFileInfo(settings.output).isDir())
        return Failure{QStringLiteral("-o: %1 is a file, not a folder.").arg(settings.output)};
    if (!folder.exists() && !QDir().mkpath(settings.output))
        return Failure{QStringLiteral("-o: the folder %1 cannot be created.").arg(settings.output)};
    OutputNamer namer(extensionOf(settings.format));
    int number = 0;
    for (const QString &address : settings.addresses) {
        ++number;
        const QString location = locationFor(address);
        orders.append({number, address, location, folder.filePath(namer.nameFor(location))});
    }
    return orders;
}

} // namespace snapvel::cli
