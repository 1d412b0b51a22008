#include "platform/cdp/framing.h"

#include <cstring>
#include <utility>

namespace snapvel::cdp {

void MessageFramer::append(const char *data, qsizetype size)
{
    // Drop consumed messages before growing, once they make up most of the
    // buffer, so the buffer stays proportional to the unconsumed bytes.
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    m_buffer.append(data, size);
}

std::optional<QByteArray> MessageFramer::next()
{
    const qsizetype from = m_start + m_scanned;
    const qsizetype available = m_buffer.size() - from;
    if (available <= 0)
        return std::nullopt;
    const char *begin = m_buffer.constData();
    const auto *nul = static_cast<const char *>(std::memchr(begin + from, '\0', available));
    if (!nul) {
        m_scanned += available;
        return std::nullopt;
    }
    const qsizetype end = nul - begin;
    if (end - m_start >= m_buffer.size() / 2) {
        // The message is most of the buffer, as a large reply is: the buffer
        // is handed over as the message (cutting its front moves no bytes)
        // and only what follows it is copied.
        QByteArray rest(begin + end + 1, m_buffer.size() - end - 1);
        QByteArray message = std::exchange(m_buffer, std::move(rest));
        message.truncate(end);
        message.remove(0, m_start);
        m_start = 0;
        m_scanned = 0;
        return message;
    }
    QByteArray message(begin + m_start, end - m_start);
    m_start = end + 1;
    m_scanned = 0;
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return message;
}

QByteArray MessageFramer::frame(const QByteArray &json)
{
    QByteArray framed;
    framed.reserve(json.size() + 1);
    framed.append(json);
    framed.append('\0');
    return framed;
}

} // namespace snapvel::cdp
