#include "loading/welcomepage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace snapvel {

QString welcomePageAddress()
{
    return welcomePageAddress(QCoreApplication::applicationDirPath());
}

QString welcomePageAddress(const QString &programFolder)
{
    const QDir folder(programFolder);
    for (const QString &candidate :
         {QStringLiteral("welcome.html"), QStringLiteral("../share/snapvel/welcome.html")}) {
        const QFileInfo file(folder.filePath(candidate));
        if (file.isFile())
            return QUrl::fromLocalFile(file.canonicalFilePath()).toString();
    }
    return QStringLiteral("https://example.com/");
}

} // namespace snapvel
