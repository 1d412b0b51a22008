#include "platform/cdp/connection.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSocketNotifier>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace snapvel::cdp {

namespace {

constexpr qsizetype ReadChunk = 1 << 20;

void setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// SNAPVEL_CDP_TRACE=1 prints the start of every message to stderr.
bool tracing()
{
    static const bool enabled = qEnvironmentVariableIsSet("SNAPVEL_CDP_TRACE");
    return enabled;
}

void trace(const char *direction, const QByteArray &json)
{
    if (tracing())
        qDebug("cdp %s %s", direction, json.left(400).constData());
}

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Writes to a pipe whose reader may have gone, without the process being
// killed by SIGPIPE: the signal is blocked for this thread during the write
// and a SIGPIPE raised by it is consumed.
ssize_t writeWithoutSigpipe(int fd, const char *data, size_t size)
{
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE);
    const ssize_t written = ::write(fd, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !alreadyPending) {
        const timespec noWait{};
        sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

// Replies smaller than this are parsed as they are.
constexpr qsizetype LargeReply = 1 << 20;

// A large reply to a command that asked for its result's "data" string (a
// base64 picture of tens of megabytes) is parsed without that string, which
// is cut out as raw bytes into `data`: converting it to a QString and back
// would cost several times its size in time and memory. Replies of another
// shape, or whose string holds escapes, are returned whole (data stays null).
QByteArray withoutLargeData(const QByteArray &json, const QSet<int> &ids, QByteArray &data)
{
    static const QByteArray idPrefix = "{\"id\":";
    static const QByteArray dataKey = "\"data\":\"";
    if (json.size() < LargeReply || !json.startsWith(idPrefix))
        return json;
    qsizetype end = idPrefix.size();
    while (end < json.size() && std::isdigit(static_cast<unsigned char>(json.at(end))))
        ++end;
    bool ok = false;
    const int id = json.mid(idPrefix.size(), end - idPrefix.size()).toInt(&ok);
    if (!ok || !ids.contains(id))
        return json;
    const qsizetype key = json.indexOf(dataKey, end);
    if (key < 0)
        return json;
    const qsizetype begin = key + dataKey.size();
    const char *start = json.constData() + begin;
    const auto *quote = static_cast<const char *>(
        std::memchr(start, '"', static_cast<size_t>(json.size() - begin)));
    if (!quote || std::memchr(start, '\\', static_cast<size_t>(quote - start)))
        return json;
    data = QByteArray(start, quote - start);
    QByteArray rest;
    rest.reserve(json.size() - data.size());
    rest.append(json.constData(), begin);
    rest.append(quote, json.constData() + json.size() - quote);
    return rest;
}

} // namespace

Connection::Connection(int commandFd, int messageFd, std::chrono::milliseconds timeout,
                       QObject *parent)
    : QObject(parent), m_commandFd(commandFd), m_messageFd(messageFd), m_timeout(timeout)
{
    qRegisterMetaType<snapvel::cdp::Message>();
    setNonBlocking(m_commandFd);
    setNonBlocking(m_messageFd);
    m_notifier = new QSocketNotifier(m_messageFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Connection::onReadable);
}

Connection::~Connection()
{
    m_closedSignalDue = false;
    close();
}

void Connection::close()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        delete m_notifier;
        m_notifier = nullptr;
    }
    if (m_commandFd >= 0)
        ::close(m_commandFd);
    if (m_messageFd >= 0)
        ::close(m_messageFd);
    m_commandFd = -1;
    m_messageFd = -1;
    m_open = false;
}

Failure Connection::closedFailure() const
{
    return Failure{QStringLiteral("The browser stopped unexpectedly.")};
}

Result<QJsonObject> Connection::call(const QString &method, const QJsonObject &params,
                                     const QString &sessionId)
{
    const Result<int> id = send(method, params, sessionId);
    if (!id)
        return Failure{id.error()};
    return wait(id.value());
}

Result<int> Connection::send(const QString &method, const QJsonObject &params,
                             const QString &sessionId)
{
    Result<int> id = write(method, params, sessionId);
    if (id)
        m_awaited.insert(id.value());
    return id;
}

Result<int> Connection::post(const QString &method, const QJsonObject &params,
                             const QString &sessionId, bool deliverReply)
{
    Result<int> id = write(method, params, sessionId);
    if (id && deliverReply)
        m_delivered.insert(id.value());
    return id;
}

Result<int> Connection::write(const QString &method, const QJsonObject &params,
                              const QString &sessionId)
{
    if (!m_open)
        return closedFailure();
    const int id = m_nextId++;
    QJsonObject command{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}};
    if (!params.isEmpty())
        command.insert(QStringLiteral("params"), params);
    if (!sessionId.isEmpty())
        command.insert(QStringLiteral("sessionId"), sessionId);
    const QByteArray json = QJsonDocument(command).toJson(QJsonDocument::Compact);
    trace(">", json);
    const QByteArray bytes = MessageFramer::frame(json);
    const bool written = writeAll(bytes, Clock::now() + m_timeout);
    scheduleDelivery();
    if (!written) {
        if (!m_open)
            return closedFailure();
        m_timedOut = true;
        return Failure{QStringLiteral("The browser did not accept a command within %1 seconds.")
                           .arg(m_timeout.count() / 1000.0)};
    }
    m_methods.insert(id, method);
    return id;
}

bool Connection::writeAll(const QByteArray &bytes, Clock::time_point deadline)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = writeWithoutSigpipe(m_commandFd, bytes.constData() + done,
                                                    static_cast<size_t>(bytes.size() - done));
        if (written > 0) {
            done += written;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lose();
            return false;
        }
        // The pipe is full: wait until the browser reads, reading its own
        // messages meanwhile so that it is never blocked writing to us.
        pollfd fds[2] = {{m_commandFd, POLLOUT, 0}, {m_messageFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !read(Clock::now()))
            return false;
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            lose();
            return false;
        }
    }
    return true;
}

Result<QJsonObject> Connection::wait(int id)
{
    const Result<Message> reply = waitForReply(id);
    if (!reply)
        return Failure{reply.error()};
    return reply->params;
}

Result<QByteArray> Connection::callForData(const QString &method, const QJsonObject &params,
                                           const QString &sessionId)
{
    const Result<int> id = send(method, params, sessionId);
    if (!id)
        return Failure{id.error()};
    m_dataReplies.insert(id.value());
    Result<Message> reply = waitForReply(id.value());
    m_dataReplies.remove(id.value());
    if (!reply)
        return Failure{reply.error()};
    return std::move(reply.value().data);
}

Result<Message> Connection::waitForReply(int id)
{
    const Clock::time_point deadline = Clock::now() + m_timeout;
    for (;;) {
        const auto reply = m_replies.find(id);
        if (reply != m_replies.end()) {
            Message message = std::move(*reply);
            m_replies.erase(reply);
            m_awaited.remove(id);
            scheduleDelivery();
            if (!message.error.isEmpty())
                return Failure{QStringLiteral("The browser could not carry out %1: %2")
                                   .arg(message.method, message.error)};
            return message;
        }
        if (!m_open || !m_awaited.contains(id)) {
            m_awaited.remove(id);
            scheduleDelivery();
            return closedFailure();
        }
        if (Clock::now() >= deadline) {
            // A late reply to this command is dropped when it comes.
            m_awaited.remove(id);
            m_timedOut = true;
            scheduleDelivery();
            return Failure{QStringLiteral("The browser did not answer within %1 seconds.")
                               .arg(m_timeout.count() / 1000.0)};
        }
        read(deadline);
    }
}

bool Connection::read(Clock::time_point deadline)
{
    if (!m_open)
        return false;
    pollfd fd{m_messageFd, POLLIN, 0};
    const int ready = ::poll(&fd, 1, remainingMs(deadline));
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    // Read everything the pipe holds now, then hand out complete messages.
    if (m_chunk.size() != ReadChunk)
        m_chunk = QByteArray(ReadChunk, Qt::Uninitialized);
    bool ended = false;
    for (;;) {
        const ssize_t got =
            ::read(m_messageFd, m_chunk.data(), static_cast<size_t>(m_chunk.size()));
        if (got > 0) {
            m_framer.append(m_chunk.constData(), got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            ended = true;
        break;
    }
    while (std::optional<QByteArray> message = m_framer.next())
        dispatch(*message);
    if (ended) {
        lose();
        return false;
    }
    return true;
}

void Connection::dispatch(const QByteArray &json)
{
    trace("<", json);
    QJsonParseError parseError;
    QByteArray data;
    const QJsonDocument document = QJsonDocument::fromJson(
        m_dataReplies.isEmpty() ? json : withoutLargeData(json, m_dataReplies, data), &parseError);
    if (!document.isObject()) {
        qWarning("Ignoring a message from the browser that is not a JSON object: %s",
                 qPrintable(parseError.errorString()));
        return;
    }
    const QJsonObject object = document.object();
    Message message;
    message.sequence = m_sequence++;
    message.sessionId = object.value(QLatin1String("sessionId")).toString();
    const QJsonValue id = object.value(QLatin1String("id"));
    if (id.isUndefined()) {
        message.method = object.value(QLatin1String("method")).toString();
        message.params = object.value(QLatin1String("params")).toObject();
        m_queue.push_back(std::move(message));
        return;
    }
    message.id = id.toInt();
    message.method = m_methods.take(message.id);
    message.params = object.value(QLatin1String("result")).toObject();
    if (m_dataReplies.remove(message.id)) {
        message.data = data.isNull()
                           ? message.params.value(QLatin1String("data")).toString().toLatin1()
                           : std::move(data);
        message.params.remove(QLatin1String("data"));
    }
    const QJsonValue error = object.value(QLatin1String("error"));
    if (!error.isUndefined()) {
        message.error = error.toObject().value(QLatin1String("message")).toString();
        if (message.error.isEmpty())
            message.error = QStringLiteral("unknown error");
    }
    if (m_awaited.contains(message.id))
        m_replies.insert(message.id, std::move(message));
    else if (m_delivered.remove(message.id))
        m_queue.push_back(std::move(message));
}

void Connection::lose()
{
    if (!m_open)
        return;
    close();
    m_methods.clear();
    m_closedSignalDue = true;
    // Replies asked for later will never come: report each as failed.
    for (const int id : std::as_const(m_delivered)) {
        Message message;
        message.id = id;
        message.error = closedFailure().message;
        message.sequence = m_sequence++;
        m_queue.push_back(std::move(message));
    }
    m_delivered.clear();
    scheduleDelivery();
}

void Connection::scheduleDelivery()
{
    if (m_deliveryScheduled || (m_queue.empty() && !m_closedSignalDue))
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(this, &Connection::deliver, Qt::QueuedConnection);
}

void Connection::deliver()
{
    m_deliveryScheduled = false;
    QPointer<Connection> alive(this);
    while (!m_queue.empty()) {
        const Message message = std::move(m_queue.front());
        m_queue.pop_front();
        emit messageReceived(message);
        if (!alive)
            return;
    }
    if (m_closedSignalDue) {
        m_closedSignalDue = false;
        emit closed();
    }
}

void Connection::onReadable()
{
    read(Clock::now());
    scheduleDelivery();
}

} // namespace snapvel::cdp
