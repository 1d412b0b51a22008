#include "support/processtree.h"

#include <csignal>
#include <sys/types.h>

#include <QDir>
#include <QFile>
#include <QHash>

namespace snapvel::test {

namespace {

QByteArray readProc(qint64 pid, const char *entry)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 parentOf(qint64 pid)
{
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    const QByteArray stat = readProc(pid, "stat");
    const qsizetype end = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() : 0;
}

} // namespace

QList<qint64> descendantsWith(qint64 root, const QString &argument)
{
    QHash<qint64, qint64> parents;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (number)
            parents.insert(pid, parentOf(pid));
    }
    QList<qint64> found;
    for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
        qint64 ancestor = it.value();
        while (ancestor > 1 && ancestor != root)
            ancestor = parents.value(ancestor, 0);
        if (ancestor != root)
            continue;
        QByteArray commandLine = readProc(it.key(), "cmdline");
        commandLine.replace('\0', ' ');
        if (commandLine.contains(argument.toUtf8()))
            found << it.key();
    }
    return found;
}

int killRenderers(qint64 chromium)
{
    const QList<qint64> renderers = descendantsWith(chromium, QStringLiteral("--type=renderer"));
    for (const qint64 pid : renderers)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    return static_cast<int>(renderers.size());
}

} // namespace snapvel::test
