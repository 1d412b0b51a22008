#include "cli/outputnaming.h"

#include <QFileInfo>
#include <QUrl>

namespace snapvel::cli {

namespace {

constexpr qsizetype kMaxStemLength = 100;

bool isSafe(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
           c == QLatin1Char('-') || c == QLatin1Char('_');
}

// Each run of unsafe characters becomes one '_'; leading and trailing
// separators go, so that no name is hidden (".x") or taken for an option
// ("-x").
QString safeName(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        if (isSafe(c))
            safe += c;
        else if (!safe.endsWith(QLatin1Char('_')))
            safe += QLatin1Char('_');
    }
    auto isSeparator = [](QChar c) {
        return c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_');
    };
    qsizetype first = 0, last = safe.size();
    while (first < last && isSeparator(safe.at(first)))
        ++first;
    while (last > first && isSeparator(safe.at(last - 1)))
        --last;
    safe = safe.mid(first, last - first);
    if (safe.size() > kMaxStemLength) {
        safe.truncate(kMaxStemLength);
        while (!safe.isEmpty() && isSeparator(safe.back()))
            safe.chop(1);
    }
    return safe;
}

QString withoutPageExtension(QString path)
{
    for (const char *extension : {".html", ".htm"})
        if (path.endsWith(QLatin1String(extension), Qt::CaseInsensitive))
            return path.chopped(qsizetype(qstrlen(extension)));
    return path;
}

} // namespace

QString fileStemFor(const QString &address)
{
    const QUrl url = QUrl::fromUserInput(address.trimmed());
    QString name;
    if (url.isLocalFile()) {
        name = withoutPageExtension(QFileInfo(url.toLocalFile()).fileName());
    } else if (!url.host().isEmpty()) {
        // The host in its ASCII form, so that an international name keeps
        // its letters apart.
        name = url.host(QUrl::EncodeUnicode).toLower();
        if (url.port() > 0)
            name += QLatin1Char('_') + QString::number(url.port());
        name += withoutPageExtension(url.path(QUrl::FullyDecoded));
        if (url.hasQuery())
            name += QLatin1Char('_') + url.query(QUrl::FullyDecoded);
    }
    name = safeName(name);
    return name.isEmpty() ? QStringLiteral("page") : name;
}

OutputNamer::OutputNamer(QString extension) : m_extension(std::move(extension)) {}

QString OutputNamer::nameFor(const QString &address)
{
    const QString stem = fileStemFor(address);
    QString name = stem + QLatin1Char('.') + m_extension;
    for (int number = 2; m_taken.contains(name.toLower()); ++number)
        name = QStringLiteral("%1-%2.%3").arg(stem).arg(number).arg(m_extension);
    m_taken.insert(name.toLower());
    return name;
}

} // namespace snapvel::cli
