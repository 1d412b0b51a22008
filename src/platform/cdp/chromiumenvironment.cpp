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
                                        const PageFaultLibrary &library)
{
    QProcessEnvironment environment = base;
    const QString hugePages = QStringLiteral("SNAPVEL_HUGE_PAGES");
    const QString prefault = QStringLiteral("SNAPVEL_PREFAULT_SHARED_MEMORY");
    environment.remove(hugePages);
    environment.remove(prefault);
    if (!library.path.isEmpty() && library.hasJob()) {
        const QString others = base.value(QStringLiteral("LD_PRELOAD")).trimmed();
        environment.insert(QStringLiteral("LD_PRELOAD"),
                           others.isEmpty() ? library.path
                                            : others + QLatin1Char(':') + library.path);
        if (library.hugePages)
            environment.insert(hugePages, QStringLiteral("1"));
        if (library.prefaultSharedMemory)
            environment.insert(prefault, QStringLiteral("1"));
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

PageFaultLibrary pageFaultLibrary(const QString &programFolder, const QString &thpSetting,
                                  bool sandboxed)
{
    PageFaultLibrary library;
    // The setting reads like "always [madvise] never", the one in force in
    // brackets.
    library.hugePages = thpSetting.contains(QStringLiteral("[madvise]"));
    library.prefaultSharedMemory = !sandboxed;
    if (!library.hasJob())
        return library;
    const QDir folder(programFolder);
    for (const QString &candidate : {QStringLiteral("libsnapvel-pagefaults.so"),
                                     QStringLiteral("../lib/snapvel/libsnapvel-pagefaults.so")}) {
        const QFileInfo file(folder.filePath(candidate));
        if (!file.isFile())
            continue;
        const QString path = file.canonicalFilePath();
        if (!path.contains(QLatin1Char(' ')) && !path.contains(QLatin1Char(':')))
            library.path = path;
        break;
    }
    return library;
}

PageFaultLibrary pageFaultLibrary(bool sandboxed)
{
    QFile setting(QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled"));
    const QString thpSetting =
        setting.open(QIODevice::ReadOnly) ? QString::fromLatin1(setting.readAll()) : QString();
    return pageFaultLibrary(QCoreApplication::applicationDirPath(), thpSetting, sandboxed);
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
