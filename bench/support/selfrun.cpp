#include "support/selfrun.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>

namespace snapvel::bench {

QStringList runSelf(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QCoreApplication::applicationFilePath(), QStringList{"--run"} + arguments);
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return QString::fromLatin1(process.readAllStandardOutput()).simplified().split(' ');
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace snapvel::bench
