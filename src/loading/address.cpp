#include "loading/address.h"

namespace snapvel {

bool isScriptAddress(const QString &text)
{
    qsizetype start = 0;
    while (start < text.size() && text.at(start).isSpace())
        ++start;
    return QStringView(text).mid(start).startsWith(u"javascript:", Qt::CaseInsensitive);
}

QString scriptAddressRefusal()
{
    return QStringLiteral("Addresses that run script (javascript:) are not loaded.");
}

} // namespace snapvel
