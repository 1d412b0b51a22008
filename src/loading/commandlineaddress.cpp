#include "loading/commandlineaddress.h"

namespace snapvel {

QString addressFromCommandLine(const QStringList &arguments)
{
    if (arguments.size() < 2)
        return {};
    const QString first = arguments.at(1).trimmed();
    if (first == QLatin1String("capture") || first.startsWith(QLatin1Char('-')))
        return {};
    return first;
}

} // namespace snapvel
