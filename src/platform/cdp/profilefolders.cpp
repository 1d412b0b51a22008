#include "platform/cdp/profilefolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>

namespace snapvel::cdp {

namespace {
const QString Prefix = QStringLiteral("snapvel-browser-");
}

QString profileFolderTemplate()
{
    return QDir::temp().filePath(Prefix + QString::number(QCoreApplication::applicationPid()) +
                                 QStringLiteral("-XXXXXX"));
}

int removeStaleProfileFolders(const QString &tempPath)
{
    static const QRegularExpression name(QStringLiteral("^snapvel-browser-(\\d+)-\\w{6}$"));
    QDir temp(tempPath);
    int removed = 0;
    const QStringList folders = temp.entryList({Prefix + QLatin1Char('*')},
                                               QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &folder : folders) {
        const QRegularExpressionMatch match = name.match(folder);
        if (!match.hasMatch())
            continue;
        bool ok = false;
        const qint64 owner = match.captured(1).toLongLong(&ok);
        if (!ok || owner <= 0 || owner == QCoreApplication::applicationPid())
            continue;
        if (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)
            continue;
        if (QDir(temp.filePath(folder)).removeRecursively())
            ++removed;
    }
    return removed;
}

} // namespace snapvel::cdp
