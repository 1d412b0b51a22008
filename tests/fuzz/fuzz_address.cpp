// Fuzzes the handling of typed addresses. The input is read as UTF-8 (valid
// or not), as Latin-1 (every byte a character, control characters included)
// and as UTF-16 (lone surrogates included). For each reading: nothing
// crashes; an address judged to run script is never resolved; and no
// resolved address is one a browser would run as script.

#include "fuzzcheck.h"
#include "loading/address.h"
#include "platform/cdp/addressresolution.h"

#include <QString>
#include <QUrl>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The scheme a browser reads from a URL string: tabs and line breaks are
// removed wherever they are, control characters and spaces at either end
// are dropped, and the scheme is what comes before the first colon, in any
// letter case.
QString schemeAsABrowserReads(const QString &url)
{
    QString text;
    text.reserve(url.size());
    for (const QChar c : url) {
        if (c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            text += c;
    }
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 0x20)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 0x20)
        --end;
    const qsizetype colon = text.indexOf(QLatin1Char(':'), begin);
    if (colon < 0 || colon > end)
        return {};
    return text.mid(begin, colon - begin).toLower();
}

void check(const QString &text)
{
    const bool script = snapvel::isScriptAddress(text);
    const snapvel::Result<QUrl> url = snapvel::cdp::resolveAddress(text);
    if (!url) {
        FUZZ_CHECK(!url.error().isEmpty());
        return;
    }
    FUZZ_CHECK(!script);
    FUZZ_CHECK(url->isValid());
    FUZZ_CHECK(!url->scheme().isEmpty());
    FUZZ_CHECK(url->scheme().compare(QLatin1String("javascript"), Qt::CaseInsensitive) != 0);
    // The address as it is sent to the browser.
    const QString sent = QString::fromUtf8(url->toEncoded());
    FUZZ_CHECK(schemeAsABrowserReads(sent) != QLatin1String("javascript"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *bytes = reinterpret_cast<const char *>(data);
    check(QString::fromUtf8(bytes, qsizetype(size)));
    check(QString::fromLatin1(bytes, qsizetype(size)));
    // Copied, since the input need not be aligned for 16-bit units.
    std::vector<char16_t> units(size / 2);
    if (!units.empty())
        std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    check(QString::fromUtf16(units.data(), qsizetype(units.size())));
    return 0;
}
