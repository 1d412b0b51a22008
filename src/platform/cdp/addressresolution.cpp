#include "platform/cdp/addressresolution.h"

namespace snapvel::cdp {

Result<QUrl> resolveAddress(const QString &address)
{
    const QString text = address.trimmed();
    if (text.isEmpty())
        return Failure{QStringLiteral("No address was given.")};
    const QUrl url = QUrl::fromUserInput(text);
    // Checked on the text as well as on the resolved URL, so that no spelling
    // of the scheme slips through.
    if (text.startsWith(QLatin1String("javascript:"), Qt::CaseInsensitive) ||
        url.scheme().compare(QLatin1String("javascript"), Qt::CaseInsensitive) == 0)
        return Failure{QStringLiteral("Addresses that run script (javascript:) are not loaded.")};
    if (!url.isValid() || url.scheme().isEmpty())
        return Failure{QStringLiteral("\"%1\" is not an address that can be loaded.").arg(text)};
    return url;
}

} // namespace snapvel::cdp
