#include "platform/cdp/base64.h"

#include <array>
#include <cstdint>

namespace snapvel::cdp {

namespace {

// Each character's six bits; 0xff for characters outside the alphabet.
constexpr std::array<std::uint8_t, 256> Sextets = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(0xff);
    for (int i = 0; i < 26; ++i) {
        table['A' + i] = std::uint8_t(i);
        table['a' + i] = std::uint8_t(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        table['0' + i] = std::uint8_t(52 + i);
    table['+'] = 62;
    table['/'] = 63;
    return table;
}();

} // namespace

std::optional<QByteArray> decodeBase64(QByteArray text)
{
    const qsizetype size = text.size();
    if (size % 4 != 0)
        return std::nullopt;
    if (size == 0)
        return QByteArray();
    const int padding = text.endsWith("==") ? 2 : text.endsWith('=') ? 1 : 0;
    // Four characters become three bytes, written behind those already
    // read.
    auto *bytes = reinterpret_cast<unsigned char *>(text.data());
    std::uint32_t invalid = 0;
    qsizetype out = 0;
    const auto quartet = [&](qsizetype at) {
        const std::uint32_t a = Sextets[bytes[at]], b = Sextets[bytes[at + 1]],
                            c = Sextets[bytes[at + 2]], d = Sextets[bytes[at + 3]];
        invalid |= a | b | c | d;
        return a << 18 | b << 12 | c << 6 | d;
    };
    for (qsizetype at = 0; at < size - 4; at += 4) {
        const std::uint32_t value = quartet(at);
        bytes[out] = static_cast<unsigned char>(value >> 16);
        bytes[out + 1] = static_cast<unsigned char>(value >> 8);
        bytes[out + 2] = static_cast<unsigned char>(value);
        out += 3;
    }
    // The last four, where '=' stands for what is missing.
    for (qsizetype at = size - padding; at < size; ++at)
        bytes[at] = 'A';
    const std::uint32_t last = quartet(size - 4);
    const unsigned char tail[3] = {static_cast<unsigned char>(last >> 16),
                                   static_cast<unsigned char>(last >> 8),
                                   static_cast<unsigned char>(last)};
    for (int i = 0; i < 3 - padding; ++i)
        bytes[out++] = tail[i];
    if (invalid & 0x80)
        return std::nullopt;
    text.truncate(out);
    return text;
}

} // namespace snapvel::cdp
