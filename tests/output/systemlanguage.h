#pragma once

#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <cstring>

namespace snapvel::test {

// The output tests run a second time with LC_ALL naming another language
// (see CMakeLists.txt), so that plain words are shown to depend on error
// numbers alone. Says why such a run proves nothing when the system does not
// speak the language asked for; empty otherwise.
inline QString languageProblem()
{
    const QString asked = qEnvironmentVariable("LC_ALL");
    if (asked.isEmpty() || asked.startsWith(QLatin1Char('C')) ||
        asked.startsWith(QLatin1String("en")))
        return {};
    if (QString::fromLocal8Bit(std::strerror(ENOENT)) != QLatin1String("No such file or directory"))
        return {};
    return QStringLiteral("LC_ALL=%1 asks for another language, but the system's messages are "
                          "English: install locales-all and libc-l10n")
        .arg(asked);
}

} // namespace snapvel::test
