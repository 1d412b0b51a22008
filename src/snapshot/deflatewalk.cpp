#include "snapshot/deflatewalk.h"

#include <QtEndian>

#include <array>
#include <cstring>
#include <vector>

namespace snapvel {

namespace {

constexpr int kMaxCodeBits = 15;

constexpr std::array<quint16, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                 15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<quint8, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<quint16, 30> kDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<quint8, 30> kDistanceExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                   4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                   9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives its code length code's lengths.
constexpr std::array<quint8, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

// A Huffman code as one lookup table indexed by the next `bits` bits of the
// stream: each entry is a symbol and its code's length, or 0 where no code
// starts with those bits.
struct Code
{
    std::vector<quint32> entries;
    int bits = 1;
    quint64 mask = 1;
};

// Builds the canonical code of the lengths. Like zlib, refuses an
// oversubscribed set and an incomplete one, except for a single code of one
// bit where `singleAllowed` (literal and distance codes).
bool buildCode(const quint8 *lengths, int count, bool singleAllowed, Code &code)
{
    std::array<int, kMaxCodeBits + 1> perLength{};
    int longest = 0;
    for (int s = 0; s < count; ++s) {
        ++perLength[lengths[s]];
        longest = std::max<int>(longest, lengths[s]);
    }
    perLength[0] = 0;
    int left = 1;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
        left = (left << 1) - perLength[len];
        if (left < 0)
            return false;
    }
    if (left > 0 && longest != 0 && !(singleAllowed && longest == 1))
        return false;
    code.bits = std::max(1, longest);
    code.mask = (quint64(1) << code.bits) - 1;
    code.entries.assign(size_t(1) << code.bits, 0);
    std::array<int, kMaxCodeBits + 2> next{};
    for (int len = 1, value = 0; len <= kMaxCodeBits; ++len) {
        value = (value + perLength[len - 1]) << 1;
        next[len] = value;
    }
    for (int s = 0; s < count; ++s) {
        const int len = lengths[s];
        if (len == 0)
            continue;
        // Codes are packed from their most significant bit: reversed, they
        // index the table by the stream's next bits.
        int value = next[len]++, reversed = 0;
        for (int i = 0; i < len; ++i, value >>= 1)
            reversed = (reversed << 1) | (value & 1);
        for (size_t i = size_t(reversed); i < code.entries.size(); i += size_t(1) << len)
            code.entries[i] = quint32(s) | quint32(len) << 16;
    }
    return true;
}

class Walker
{
public:
    Walker(const uchar *data, qsizetype size, qint64 history, qint64 limit)
        : m_data(data), m_size(size), m_bits(qint64(size) * 8), m_history(history), m_limit(limit)
    {
    }

    DeflateWalk walk(qint64 fromBit)
    {
        DeflateWalk result;
        m_at = fromBit;
        for (;;) {
            const qint64 start = m_at;
            const quint64 header = take(3);
            if (m_at > m_bits)
                return result;
            bool ok = false;
            switch (header >> 1) {
            case 0:
                ok = stored(result.stored);
                break;
            case 1:
                ok = fixedBlock();
                break;
            case 2:
                ok = dynamicBlock();
                break;
            default:
                break;
            }
            if (!ok || m_at > m_bits)
                return result;
            if (header & 1) {
                result.ok = true;
                result.finalBlockBit = start;
                result.endBit = m_at;
                result.produced = m_produced;
                return result;
            }
        }
    }

private:
    // At least 57 bits from m_at; zeros past the end (the caller checks
    // m_at against the end).
    quint64 peek() const
    {
        const qsizetype byte = qsizetype(m_at >> 3);
        quint64 word = 0;
        if (byte + 8 <= m_size) {
            word = qFromLittleEndian<quint64>(m_data + byte);
        } else if (byte < m_size) {
            uchar tail[8] = {};
            std::memcpy(tail, m_data + byte, size_t(m_size - byte));
            word = qFromLittleEndian<quint64>(tail);
        }
        return word >> (m_at & 7);
    }

    quint64 take(int count)
    {
        const quint64 value = peek() & ((quint64(1) << count) - 1);
        m_at += count;
        return value;
    }

    bool stored(QList<StoredBlock> &blocks)
    {
        const qint64 headerEnd = m_at;
        m_at = (m_at + 7) & ~qint64(7);
        const qint64 lengthByte = m_at / 8;
        const quint64 lengths = take(32);
        const quint64 length = lengths & 0xffff;
        if (m_at > m_bits || (lengths >> 16) != (~length & 0xffff))
            return false;
        blocks.append({headerEnd, lengthByte, qint64(length)});
        m_at += qint64(length) * 8;
        m_produced += qint64(length);
        return m_produced <= m_limit;
    }

    bool fixedBlock()
    {
        if (m_fixedLiterals.entries.empty()) {
            std::array<quint8, 288> literals{};
            std::fill(literals.begin(), literals.begin() + 144, 8);
            std::fill(literals.begin() + 144, literals.begin() + 256, 9);
            std::fill(literals.begin() + 256, literals.begin() + 280, 7);
            std::fill(literals.begin() + 280, literals.end(), 8);
            // 32 codes, of which the last two are never used.
            std::array<quint8, 32> distances;
            distances.fill(5);
            buildCode(literals.data(), int(literals.size()), false, m_fixedLiterals);
            buildCode(distances.data(), int(distances.size()), false, m_fixedDistances);
        }
        return codes(m_fixedLiterals, m_fixedDistances);
    }

    bool dynamicBlock()
    {
        const int literalCount = int(take(5)) + 257;
        const int distanceCount = int(take(5)) + 1;
        const int lengthCodes = int(take(4)) + 4;
        if (literalCount > 286 || distanceCount > 30)
            return false;
        std::array<quint8, 19> codeLengths{};
        for (int i = 0; i < lengthCodes; ++i)
            codeLengths[kCodeLengthOrder[size_t(i)]] = quint8(take(3));
        Code lengthCode;
        if (m_at > m_bits || !buildCode(codeLengths.data(), 19, false, lengthCode))
            return false;
        std::array<quint8, 286 + 30> lengths{};
        for (int i = 0; i < literalCount + distanceCount;) {
            if (m_at > m_bits)
                return false;
            const quint32 entry = lengthCode.entries[peek() & lengthCode.mask];
            if (entry == 0)
                return false;
            m_at += entry >> 16;
            const int symbol = int(entry & 0xffff);
            if (symbol < 16) {
                lengths[size_t(i++)] = quint8(symbol);
                continue;
            }
            int repeat = 0;
            quint8 value = 0;
            if (symbol == 16) {
                if (i == 0)
                    return false;
                value = lengths[size_t(i - 1)];
                repeat = 3 + int(take(2));
            } else if (symbol == 17) {
                repeat = 3 + int(take(3));
            } else {
                repeat = 11 + int(take(7));
            }
            if (i + repeat > literalCount + distanceCount)
                return false;
            while (repeat-- > 0)
                lengths[size_t(i++)] = value;
        }
        if (lengths[256] == 0) // no end code
            return false;
        if (!buildCode(lengths.data(), literalCount, true, m_literals) ||
            !buildCode(lengths.data() + literalCount, distanceCount, true, m_distances))
            return false;
        return codes(m_literals, m_distances);
    }

    // The codes of one block, up to and including its end code.
    bool codes(const Code &literals, const Code &distances)
    {
        for (;;) {
            if (m_at > m_bits || m_produced > m_limit)
                return false;
            // One peek covers a literal, or a whole match: at most 15 + 5
            // + 15 + 13 bits.
            quint64 bits = peek();
            const quint32 entry = literals.entries[bits & literals.mask];
            if (entry == 0)
                return false;
            int used = int(entry >> 16);
            const int symbol = int(entry & 0xffff);
            if (symbol < 256) {
                ++m_produced;
                m_at += used;
                continue;
            }
            if (symbol == 256) {
                m_at += used;
                return m_at <= m_bits && m_produced <= m_limit;
            }
            const size_t lengthSymbol = size_t(symbol - 257);
            if (lengthSymbol >= kLengthBase.size())
                return false;
            bits >>= used;
            const int lengthBits = kLengthExtra[lengthSymbol];
            const qint64 length =
                kLengthBase[lengthSymbol] + qint64(bits & ((quint64(1) << lengthBits) - 1));
            bits >>= lengthBits;
            used += lengthBits;
            const quint32 distanceEntry = distances.entries[bits & distances.mask];
            if (distanceEntry == 0)
                return false;
            const size_t distanceSymbol = distanceEntry & 0xffff;
            if (distanceSymbol >= kDistanceBase.size())
                return false;
            bits >>= distanceEntry >> 16;
            used += int(distanceEntry >> 16);
            const int distanceBits = kDistanceExtra[distanceSymbol];
            const qint64 distance =
                kDistanceBase[distanceSymbol] + qint64(bits & ((quint64(1) << distanceBits) - 1));
            used += distanceBits;
            if (distance > m_history + m_produced)
                return false;
            m_produced += length;
            m_at += used;
        }
    }

    const uchar *m_data;
    qsizetype m_size;
    qint64 m_bits;
    qint64 m_history;
    qint64 m_limit;
    qint64 m_at = 0;
    qint64 m_produced = 0;
    Code m_literals, m_distances, m_fixedLiterals, m_fixedDistances;
};

} // namespace

DeflateWalk walkDeflate(const uchar *data, qsizetype size, qint64 fromBit, qint64 history,
                        qint64 limit)
{
    if (!data || size < 0 || fromBit < 0 || fromBit > qint64(size) * 8 || history < 0)
        return {};
    return Walker(data, size, history, limit).walk(fromBit);
}

} // namespace snapvel
