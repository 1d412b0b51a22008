#include "platform/cdp/connection.h"

#include "platform/cdp/pagefailures.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace snapvel::cdp {

namespace {

constexpr qsizetype ReadChunk = 1 << 20;
// The most one wake-up of the read notifier takes from the pipe before it
// lets the event loop run again: a reply of a hundred megabytes is read over
// several turns of the loop instead of in one long stretch.
constexpr qsizetype ReadPerTurn = 4 << 20;
// The message pipe is enlarged to this, when the system allows, so that a
// large reply crosses it in fewer reads.
constexpr int MessagePipeSize = 1 << 20;

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
// base64 picture of a hundred megabytes) is parsed without that string, which
// is cut out as raw bytes into `data`: converting it to a QString and back
// would cost several times its size in time and memory. The message's own
// buffer becomes `data` (cutting a prefix off a QByteArray moves no bytes);
// only the rest is copied. Replies of another shape, or whose string holds
// escapes, are returned whole (data stays null).
template <typename KeepsData>
QByteArray withoutLargeData(QByteArray json, KeepsData keepsData, QByteArray &data)
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
    if (!ok || !keepsData(id))
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
    const qsizetype close = quote - json.constData();
    QByteArray rest;
    rest.reserve(begin + json.size() - close);
    rest.append(json.constData(), begin);
    rest.append(json.constData() + close, json.size() - close);
    data = std::move(json);
    data.truncate(close);
    data.remove(0, begin);
    return rest;
}

Failure timeoutFailure(std::chrono::milliseconds timeout)
{
    return Failure{QStringLiteral("The browser did not answer within %1 seconds.")
                       .arg(QString::number(timeout.count() / 1000.0)),
                   FailureKind::Timeout};
}

} // namespace

Connection::Connection(int commandFd, int messageFd, QObject *parent)
    : QObject(parent), m_commandFd(commandFd), m_messageFd(messageFd)
{
    qRegisterMetaType<snapvel::cdp::Message>();
    setNonBlocking(m_commandFd);
    setNonBlocking(m_messageFd);
    ::fcntl(m_messageFd, F_SETPIPE_SZ, MessagePipeSize);
    m_readNotifier = new QSocketNotifier(m_messageFd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &Connection::onReadable);
    m_writeNotifier = new QSocketNotifier(m_commandFd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &Connection::onWritable);
    m_deadlineTimer = new QTimer(this);
    m_deadlineTimer->setSingleShot(true);
    m_deadlineTimer->setTimerType(Qt::PreciseTimer);
    connect(m_deadlineTimer, &QTimer::timeout, this, &Connection::onDeadline);
}

Connection::~Connection()
{
    // Nothing is handed out any more: whoever waits goes with this object.
    m_queue.clear();
    m_pending.clear();
    shutDown();
}

int Connection::pendingCount() const
{
    return static_cast<int>(m_pending.size());
}

int Connection::send(const QString &method, const QJsonObject &params, const QString &sessionId,
                     Reply done)
{
    Options options;
    options.sessionId = sessionId;
    return send(method, params, options, std::move(done));
}

int Connection::send(const QString &method, const QJsonObject &params, const Options &options,
                     Reply done)
{
    if (!m_open) {
        if (done) {
            Delivery delivery;
            delivery.kind = Delivery::Kind::Reply;
            delivery.done = std::move(done);
            delivery.failure = browserGone();
            m_queue.push_back(std::move(delivery));
            scheduleDelivery();
        }
        return 0;
    }
    const int id = m_nextId++;
    QJsonObject command{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}};
    if (!params.isEmpty())
        command.insert(QStringLiteral("params"), params);
    if (!options.sessionId.isEmpty())
        command.insert(QStringLiteral("sessionId"), options.sessionId);
    const QByteArray json = QJsonDocument(command).toJson(QJsonDocument::Compact);
    trace(">", json);
    if (done) {
        const Clock::time_point deadline = Clock::now() + options.timeout;
        m_pending.insert(
            id, Pending{method, std::move(done), deadline, options.timeout, options.keepData});
        m_deadlines.emplace(deadline, id);
        armDeadlineTimer();
    }
    // Drop what has been written before growing, once it is most of it.
    if (m_sent > 0 && m_sent >= m_unsent.size() / 2) {
        m_unsent.remove(0, m_sent);
        m_sent = 0;
    }
    m_unsent.append(MessageFramer::frame(json));
    flush();
    return id;
}

// Writes as much as the pipe takes now; the rest waits for the write
// notifier, so a browser that is slow to read never blocks the caller.
void Connection::flush()
{
    while (m_open && m_sent < m_unsent.size()) {
        const ssize_t written = writeWithoutSigpipe(m_commandFd, m_unsent.constData() + m_sent,
                                                    static_cast<size_t>(m_unsent.size() - m_sent));
        if (written > 0) {
            m_sent += written;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        lose();
        return;
    }
    if (m_open) {
        m_writeNotifier->setEnabled(false);
        m_unsent.clear();
        m_sent = 0;
    }
}

void Connection::onWritable()
{
    flush();
    scheduleDelivery();
}

void Connection::onReadable()
{
    readAvailable();
    deliver();
}

void Connection::readAvailable()
{
    if (!m_open)
        return;
    if (m_chunk.size() != ReadChunk)
        m_chunk = QByteArray(ReadChunk, Qt::Uninitialized);
    bool ended = false;
    qsizetype taken = 0;
    while (taken < ReadPerTurn) {
        const ssize_t got =
            ::read(m_messageFd, m_chunk.data(), static_cast<size_t>(m_chunk.size()));
        if (got > 0) {
            m_framer.append(m_chunk.constData(), got);
            taken += got;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            ended = true;
        break;
    }
    while (std::optional<QByteArray> message = m_framer.next())
        dispatch(std::move(*message));
    if (ended)
        lose();
}

bool Connection::keepsData(int id) const
{
    const auto pending = m_pending.constFind(id);
    return pending != m_pending.cend() && pending->keepData;
}

void Connection::dispatch(QByteArray json)
{
    trace("<", json);
    QJsonParseError parseError;
    QByteArray data;
    const QJsonDocument document = QJsonDocument::fromJson(
        withoutLargeData(
            std::move(json), [this](int id) { return keepsData(id); }, data),
        &parseError);
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
        m_queue.push_back(Delivery{Delivery::Kind::Event, std::move(message), {}, {}});
        return;
    }
    message.id = id.toInt();
    const auto pending = m_pending.find(message.id);
    // A reply nobody waits for: its command was sent without a callback, or
    // its deadline has passed.
    if (pending == m_pending.end())
        return;
    Pending command = std::move(*pending);
    m_pending.erase(pending);
    m_deadlines.erase({command.deadline, message.id});
    message.method = command.method;
    message.params = object.value(QLatin1String("result")).toObject();
    if (command.keepData) {
        message.data = data.isNull()
                           ? message.params.value(QLatin1String("data")).toString().toLatin1()
                           : std::move(data);
        message.params.remove(QLatin1String("data"));
    }
    Delivery delivery{Delivery::Kind::Reply, std::move(message), std::move(command.done), {}};
    const QJsonValue error = object.value(QLatin1String("error"));
    if (!error.isUndefined()) {
        QString text = error.toObject().value(QLatin1String("message")).toString();
        if (text.isEmpty())
            text = QStringLiteral("unknown error");
        delivery.failure = Failure{
            QStringLiteral("The browser could not carry out %1: %2").arg(command.method, text),
            FailureKind::Other};
    }
    m_queue.push_back(std::move(delivery));
}

void Connection::armDeadlineTimer()
{
    if (m_deadlines.empty()) {
        m_deadlineTimer->stop();
        return;
    }
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(m_deadlines.begin()->first - Clock::now());
    m_deadlineTimer->start(std::max<milliseconds::rep>(0, left.count() + 1));
}

void Connection::onDeadline()
{
    // Whatever the pipe holds now came in time: read it first.
    readAvailable();
    const Clock::time_point now = Clock::now();
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        const int id = m_deadlines.begin()->second;
        m_deadlines.erase(m_deadlines.begin());
        const auto pending = m_pending.find(id);
        if (pending == m_pending.end())
            continue;
        fail(id, timeoutFailure(pending->timeout));
    }
    armDeadlineTimer();
    deliver();
}

// Queues the failure of one waiting command and forgets it, so that a late
// reply is dropped.
void Connection::fail(int id, const Failure &failure)
{
    Pending command = m_pending.take(id);
    m_deadlines.erase({command.deadline, id});
    Delivery delivery;
    delivery.kind = Delivery::Kind::Reply;
    delivery.done = std::move(command.done);
    delivery.failure = failure;
    m_queue.push_back(std::move(delivery));
}

void Connection::close()
{
    if (!m_open)
        return;
    shutDown();
    const QList<int> ids = m_pending.keys();
    for (const int id : ids)
        fail(id, browserGone());
    scheduleDelivery();
}

// The browser went away: every waiting command fails, then closed() is
// emitted, all after the messages that arrived before.
void Connection::lose()
{
    if (!m_open)
        return;
    close();
    m_queue.push_back(Delivery{Delivery::Kind::Closed, {}, {}, {}});
    scheduleDelivery();
}

void Connection::shutDown()
{
    // The notifiers may be the very senders whose signal runs this.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    if (m_deadlineTimer)
        m_deadlineTimer->stop();
    if (m_commandFd >= 0)
        ::close(m_commandFd);
    if (m_messageFd >= 0)
        ::close(m_messageFd);
    m_commandFd = -1;
    m_messageFd = -1;
    m_unsent.clear();
    m_sent = 0;
    m_open = false;
}

void Connection::scheduleDelivery()
{
    if (m_deliveryScheduled || m_queue.empty())
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(this, &Connection::deliver, Qt::QueuedConnection);
}

void Connection::deliver()
{
    m_deliveryScheduled = false;
    QPointer<Connection> alive(this);
    // A receiver may run a nested event loop that delivers the rest; taking
    // each item off the queue first keeps the order either way.
    while (alive && !m_queue.empty()) {
        Delivery delivery = std::move(m_queue.front());
        m_queue.pop_front();
        switch (delivery.kind) {
        case Delivery::Kind::Event:
            emit eventReceived(delivery.message);
            break;
        case Delivery::Kind::Reply:
            if (!delivery.done)
                break;
            if (delivery.failure)
                delivery.done(Result<Message>(*delivery.failure));
            else
                delivery.done(Result<Message>(std::move(delivery.message)));
            break;
        case Delivery::Kind::Closed:
            emit closed();
            break;
        }
    }
}

} // namespace snapvel::cdp
