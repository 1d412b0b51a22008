#include "platform/cdp/profilefolders.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>
#include <unistd.h>

namespace snapvel::cdp {

namespace {

const QString Prefix = QStringLiteral("snapvel-browser-");

// Clock readings and process start times differ by a few clock ticks at
// most; a process counts as started after a folder only beyond this.
constexpr qint64 StartTimeSlackMs = 100;

// When the process with this id started, in milliseconds since the epoch;
// nothing when that cannot be read.
std::optional<qint64> processStartMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    // The command name, in parentheses, may hold spaces and parentheses
    // itself; the fields after it are plain numbers. The start time, in
    // clock ticks since boot, is the 20th of them.
    const qsizetype nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.mid(nameEnd + 1).simplified().split(' ');
    bool ok = false;
    const qint64 ticks = fields.size() > 19 ? fields.at(19).toLongLong(&ok) : 0;
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    timespec sinceBoot{};
    if (!ok || ticksPerSecond <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return std::nullopt;
    const qint64 bootMs = QDateTime::currentMSecsSinceEpoch() - qint64(sinceBoot.tv_sec) * 1000 -
                          sinceBoot.tv_nsec / 1000000;
    return bootMs + ticks * 1000 / ticksPerSecond;
}

// Whether the program that made the folder has ended. Its process id names
// the folder; a process with that id that started after the folder was
// made (or last changed) has been given the id since, and is another.
bool ownerEnded(qint64 pid, const QFileInfo &folder)
{
    if (::kill(static_cast<pid_t>(pid), 0) != 0)
        return errno == ESRCH;
    const std::optional<qint64> started = processStartMs(pid);
    QDateTime made = folder.birthTime();
    if (!made.isValid())
        made = folder.lastModified();
    return started && made.isValid() && *started > made.toMSecsSinceEpoch() + StartTimeSlackMs;
}

} // namespace

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
        if (!ownerEnded(owner, QFileInfo(temp.filePath(folder))))
            continue;
        if (QDir(temp.filePath(folder)).removeRecursively())
            ++removed;
    }
    return removed;
}

} // namespace snapvel::cdp
