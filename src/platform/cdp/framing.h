#pragma once

#include <QByteArray>

#include <optional>

namespace snapvel::cdp {

// Splits the DevTools pipe's byte stream into messages. Each message is one
// JSON text ended by a NUL byte; a read may hold part of a message or several
// of them. Bytes are scanned once, so a reply of tens of megabytes arriving in
// many small reads costs linear time.
class MessageFramer
{
public:
    // Appends bytes read from the pipe.
    void append(const char *data, qsizetype size);

    // The next complete message, without its terminator, if one has arrived.
    std::optional<QByteArray> next();

    // Bytes received that do not yet form a complete message.
    qsizetype pendingBytes() const { return m_buffer.size() - m_start; }

    // A message as it is written to the pipe.
    static QByteArray frame(const QByteArray &json);

private:
    QByteArray m_buffer;
    qsizetype m_start = 0;   // where the first unconsumed message begins
    qsizetype m_scanned = 0; // bytes from m_start already known to hold no NUL
};

} // namespace snapvel::cdp
