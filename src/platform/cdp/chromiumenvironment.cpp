#include "platform/cdp/chromiumenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/un.h>

namespace snapvel::cdp {

namespace {

// Chromium's single-instance socket is <TMPDIR>/org.chromium.Chromium.XXXXXX/
// SingletonSocket, and Chromium aborts at start-up when that path does not
// fit into a Unix socket address.
constexpr qsizetype SocketNameLength = sizeof("/org.chromium.Chromium.XXXXXX/SingletonSocket") - 1;
constexpr qsizetype LongestTempPath =
    qsizetype(sizeof(sockaddr_un::sun_path)) - 1 - SocketNameLength;

// The folder at path, created if needed; "" when it cannot be.
QString ensureFolder(const QString &path)
{
    return QDir().mkpath(path) ? path : QString();
}

} // namespace

QProcessEnvironment chromiumEnvironment(const QString &profilePath, const QProcessEnvironment &base,
                                        const QString &preloadLibrary)
{
    QProcessEnvironment environment = base;
    if (!preloadLibrary.isEmpty()) {
        const QString others = base.value(QStringLiteral("LD_PRELOAD")).trimmed();
        environment.insert(QStringLiteral("LD_PRELOAD"),
                           others.isEmpty() ? preloadLibrary
                                            : others + QLatin1Char(':') + preloadLibrary);
    }
    const QDir profile(profilePath);
    // Chromium's default data folder is <CHROME_CONFIG_HOME>/chromium, and its
    // crash database goes there even with --user-data-dir. Without this
    // variable it would follow XDG_CONFIG_HOME into ~/.config/chromium.
    if (const QString config = ensureFolder(profile.filePath(QStringLiteral("config")));
        !config.isEmpty())
        environment.insert(QStringLiteral("CHROME_CONFIG_HOME"), config);
    if (const QString cache = ensureFolder(profile.filePath(QStringLiteral("cache")));
        !cache.isEmpty())
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), cache);
    const QString temp = profile.filePath(QStringLiteral("tmp"));
    if (QFile::encodeName(temp).size() <= LongestTempPath && !ensureFolder(temp).isEmpty())
        environment.insert(QStringLiteral("TMPDIR"), temp);
    return environment;
}

QString hugePagesLibrary(const QString &programFolder, const QString &thpSetting)
{
    // The setting reads like "always [madvise] never", the one in force in
    // brackets. Under "always" every program has huge pages already; under
    // "never" none can have them.
    if (!thpSetting.contains(QStringLiteral("[madvise]")))
        return {};
    const QDir folder(programFolder);
    for (const QString &candidate : {QStringLiteral("libsnapvel-hugepages.so"),
                                     QStringLiteral("../lib/snapvel/libsnapvel-hugepages.so")}) {
        const QFileInfo library(folder.filePath(candidate));
        if (!library.isFile())
            continue;
        const QString path = library.canonicalFilePath();
        if (path.contains(QLatin1Char(' ')) || path.contains(QLatin1Char(':')))
            return {};
        return path;
    }
    return {};
}

QString hugePagesLibrary()
{
    QFile setting(QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled"));
    if (!setting.open(QIODevice::ReadOnly))
        return {};
    return hugePagesLibrary(QCoreApplication::applicationDirPath(),
                            QString::fromLatin1(setting.readAll()));
}

QStringList chromiumProfileArguments(const QString &profilePath)
{
    // The desktop browser has no switch for its crash database
    // (chromiumEnvironment places it) and ignores --crash-dumps-dir, which
    // places the headless shell's. Chromium places the HTTP cache of a data
    // folder that lies inside the desktop's configuration folder under the
    // desktop's cache folder instead; named, it stays in the profile wherever
    // the profile is.
    const QDir profile(profilePath);
    return {QStringLiteral("--disk-cache-dir=") + profile.filePath(QStringLiteral("disk-cache")),
            QStringLiteral("--crash-dumps-dir=") + profile.filePath(QStringLiteral("crashes"))};
}

QString chromiumExecutable(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        const QFileInfo program(candidate);
        if (program.isFile() && program.isExecutable())
            return candidate;
    }
    return candidates.isEmpty() ? QString() : candidates.last();
}

} // namespace snapvel::cdp
