#include "platform/cdp/addressresolution.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace snapvel::cdp {

namespace {

// The longest address Chromium loads (its own limit on a URL's length).
constexpr qsizetype MaxAddressLength = 2 * 1024 * 1024;

// The address as shown in a message: long ones are shortened.
QString shown(const QString &text)
{
    constexpr qsizetype Longest = 80;
    return QLatin1Char('"') +
           (text.size() > Longest ? text.left(Longest) + QStringLiteral("...") : text) +
           QLatin1Char('"');
}

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// Schemes of what the program loads: web pages, files, data: addresses, the
// empty page, and the source of any of these. Everything else (the
// browser's own chrome:// pages, mail and telephone links, other programs'
// schemes) shows no page of its own, or one of the browser's.
bool isLoadable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
        scheme == QLatin1String("file") || scheme == QLatin1String("data"))
        return true;
    if (scheme == QLatin1String("about"))
        return url.path() == QLatin1String("blank");
    if (scheme == QLatin1String("view-source")) {
        const QUrl source(url.path(QUrl::FullyEncoded), QUrl::TolerantMode);
        return source.isValid() &&
               source.scheme().compare(QLatin1String("view-source"), Qt::CaseInsensitive) != 0 &&
               isLoadable(source);
    }
    return false;
}

} // namespace

Result<QUrl> resolveAddress(const QString &address)
{
    const QString text = address.trimmed();
    if (text.isEmpty())
        return Failure{QStringLiteral("No address was given.")};
    // Checked on the text as well as on the resolved URL, so that no spelling
    // of the scheme slips through.
    if (text.startsWith(QLatin1String("javascript:"), Qt::CaseInsensitive))
        return Failure{QStringLiteral("Addresses that run script (javascript:) are not loaded.")};
    if (text.size() > MaxAddressLength)
        return Failure{QStringLiteral("The address is too long to be loaded (%1 characters).")
                           .arg(text.size())};
    if (hasControlCharacter(text))
        return Failure{QStringLiteral("%1 is not an address: it holds control characters (such "
                                      "as line breaks), which no address has.")
                           .arg(shown(text))};
    // Text spelled with a scheme is taken as it is written; the guesses of
    // an address bar (a host name, a path) are for text without one, and
    // would make a broken address into a different one.
    static const QRegularExpression withScheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    const QUrl url = withScheme.match(text).hasMatch() ? QUrl(text, QUrl::TolerantMode)
                                                       : QUrl::fromUserInput(text);
    if (url.scheme().compare(QLatin1String("javascript"), Qt::CaseInsensitive) == 0)
        return Failure{QStringLiteral("Addresses that run script (javascript:) are not loaded.")};
    const bool web =
        url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!url.isValid() || url.scheme().isEmpty() || (web && url.host().isEmpty()))
        return Failure{QStringLiteral("%1 is not an address that can be loaded.").arg(shown(text))};
    if (!isLoadable(url))
        return Failure{QStringLiteral("%1 cannot be loaded: only web pages (http, https), files "
                                      "and data: addresses are.")
                           .arg(shown(text))};
    // The headless browser lists a folder as a page of failing scripts,
    // which would be captured as a blank picture.
    if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isDir())
        return Failure{QStringLiteral("%1 is a folder: only web pages and files can be captured.")
                           .arg(shown(text))};
    return url;
}

} // namespace snapvel::cdp
