// Fuzzes the reading side of the DevTools pipe: the input is the byte stream
// the browser writes (JSON texts each ended by a NUL byte). It is fed to the
// message framer whole, one byte at a time, and in pieces of sizes drawn from
// the input, with messages taken out at varying moments; every way must give
// the same messages as splitting the stream at its NUL bytes. Each message is
// then parsed as the connection parses it, and the messages framed again
// must read back the same.

#include "fuzzcheck.h"
#include "platform/cdp/framing.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <cstddef>
#include <cstdint>

using snapvel::cdp::MessageFramer;

namespace {

struct Reading
{
    QList<QByteArray> messages;
    qsizetype pending = 0;
};

void drain(MessageFramer &framer, Reading &reading)
{
    while (std::optional<QByteArray> message = framer.next())
        reading.messages.append(std::move(*message));
}

// What any reading must give: the stream split at its NUL bytes, the bytes
// after the last one still pending.
Reading expectedReading(const QByteArray &stream)
{
    Reading reading;
    qsizetype start = 0;
    for (qsizetype at = 0; at < stream.size(); ++at) {
        if (stream.at(at) == '\0') {
            reading.messages.append(stream.mid(start, at - start));
            start = at + 1;
        }
    }
    reading.pending = stream.size() - start;
    return reading;
}

Reading readWhole(const QByteArray &stream)
{
    MessageFramer framer;
    Reading reading;
    framer.append(stream.constData(), stream.size());
    drain(framer, reading);
    reading.pending = framer.pendingBytes();
    return reading;
}

Reading readByteByByte(const QByteArray &stream)
{
    MessageFramer framer;
    Reading reading;
    for (const char byte : stream) {
        framer.append(&byte, 1);
        drain(framer, reading);
    }
    reading.pending = framer.pendingBytes();
    return reading;
}

// Pieces whose sizes, and whether messages are taken out after each, come
// from a generator seeded by the stream itself, so that the fuzzer's changes
// to the bytes also change where reads end.
Reading readInPieces(const QByteArray &stream)
{
    quint32 state = 2166136261u;
    for (const char byte : stream)
        state = (state ^ quint8(byte)) * 16777619u;
    auto nextRandom = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    MessageFramer framer;
    Reading reading;
    for (qsizetype at = 0; at < stream.size();) {
        const quint32 draw = nextRandom();
        const qsizetype piece = qMin<qsizetype>(stream.size() - at, 1 + draw % 300);
        framer.append(stream.constData() + at, piece);
        at += piece;
        // Now and then several messages pile up before any is taken out.
        if (draw & 0x80000000u)
            drain(framer, reading);
    }
    drain(framer, reading);
    reading.pending = framer.pendingBytes();
    return reading;
}

void checkSame(const Reading &reading, const Reading &expected)
{
    FUZZ_CHECK(reading.messages == expected.messages);
    FUZZ_CHECK(reading.pending == expected.pending);
}

// What the connection does with a message: parse it, and read the fields
// it routes by.
void parseAsTheConnectionDoes(const QByteArray &message)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(message, &error);
    // Either a document or a reason why not, never neither.
    FUZZ_CHECK(document.isNull() == (error.error != QJsonParseError::NoError));
    if (!document.isObject())
        return;
    const QJsonObject object = document.object();
    (void)object.value(QLatin1String("sessionId")).toString();
    (void)object.value(QLatin1String("id")).toInt();
    (void)object.value(QLatin1String("method")).toString();
    (void)object.value(QLatin1String("params")).toObject();
    (void)object.value(QLatin1String("result")).toObject();
    (void)object.value(QLatin1String("error")).toObject().value(QLatin1String("message"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char *>(data), qsizetype(size));
    const Reading expected = expectedReading(stream);

    checkSame(readWhole(stream), expected);
    checkSame(readByteByByte(stream), expected);
    checkSame(readInPieces(stream), expected);

    QByteArray framedAgain;
    for (const QByteArray &message : expected.messages) {
        FUZZ_CHECK(!message.contains('\0'));
        parseAsTheConnectionDoes(message);
        framedAgain += MessageFramer::frame(message);
    }
    // The complete messages, framed again one after another, read back the
    // same, with nothing left pending.
    const Reading again = readWhole(framedAgain);
    FUZZ_CHECK(again.messages == expected.messages);
    FUZZ_CHECK(again.pending == 0);
    return 0;
}
