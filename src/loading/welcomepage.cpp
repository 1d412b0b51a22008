#include "loading/welcomepage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace snapvel {

QString welcomePageAddress()
{
    const QFileInfo file(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("welcome.html")));
    if (file.isFile())
        return QUrl::fromLocalFile(file.canonicalFilePath()).toString();
    return QStringLiteral("https://example.com/");
}

} // namespace snapvel
