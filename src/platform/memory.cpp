#include "platform/memory.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace snapvel {

namespace {

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64 * 1024);
}

// MemAvailable from /proc/meminfo, in bytes.
qint64 systemAvailable()
{
    static const QRegularExpression line(QStringLiteral("^MemAvailable:\\s+(\\d+) kB"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match =
        line.match(QString::fromLatin1(readSmallFile(QStringLiteral("/proc/meminfo"))));
    return match.hasMatch() ? match.captured(1).toLongLong() * 1024 : 0;
}

// What the cgroup v2 limit leaves, in bytes; 0 when there is no limit.
qint64 cgroupAvailable()
{
    const QByteArray membership = readSmallFile(QStringLiteral("/proc/self/cgroup"));
    // "0::/path" is the unified hierarchy's line.
    const qsizetype at = membership.indexOf("0::");
    if (at < 0)
        return 0;
    const QString group = QString::fromUtf8(membership.mid(at + 3).split('\n').value(0)).trimmed();
    const QString folder = QStringLiteral("/sys/fs/cgroup") + group;
    bool limited = false;
    const qint64 limit =
        readSmallFile(folder + QStringLiteral("/memory.max")).trimmed().toLongLong(&limited);
    if (!limited || limit <= 0)
        return 0;
    const qint64 used =
        readSmallFile(folder + QStringLiteral("/memory.current")).trimmed().toLongLong();
    return std::max<qint64>(1, limit - used);
}

} // namespace

qint64 availableMemoryBytes()
{
    const qint64 system = systemAvailable();
    const qint64 group = cgroupAvailable();
    if (system <= 0)
        return group;
    return group > 0 ? std::min(system, group) : system;
}

} // namespace snapvel
