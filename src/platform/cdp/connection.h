#pragma once

#include "platform/cdp/framing.h"
#include "platform/result.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>
#include <deque>
#include <optional>
#include <set>
#include <utility>

class QSocketNotifier;
class QTimer;

namespace snapvel::cdp {

// One message from the browser: an event, or the reply to a command whose
// reply was asked to be delivered later (see Connection::post).
struct Message
{
    int id = 0;           // the command's id for a reply, 0 for an event
    QString method;       // the event's name
    QString sessionId;    // the session it belongs to; empty for the browser's
    QJsonObject params;   // the event's parameters, or the reply's result
    QByteArray data;      // the result's "data" string, for callForData()
    quint64 sequence = 0; // position in the order of arrival

    bool isEvent() const { return id == 0; }
};

// A DevTools protocol connection over a pair of pipe file descriptors.
//
// Everything is asynchronous: the pipe is read only when the event loop's
// socket notifier says it holds something, and nothing ever waits for the
// browser. A command sent with send() ends exactly once, through its
// callback from the event loop: with its result, with the browser's error,
// when its own deadline passes, or at once when the pipe closes (every
// command under way fails then). A reply that comes after its command's
// deadline is dropped. Events are emitted in the order they arrived, and a
// reply's callback runs in its place in that order.
class Connection : public QObject
{
    Q_OBJECT

public:
    using Reply = std::function<void(Result<Message>)>;

    // Takes ownership of both descriptors: commands are written to
    // commandFd, replies and events read from messageFd.
    Connection(int commandFd, int messageFd, QObject *parent = nullptr);
    ~Connection() override;

    struct Options
    {
        QString sessionId; // empty: the browser's own session
        std::chrono::milliseconds timeout{30000};
        bool keepData = false; // the result's "data" string is kept raw in
                               // Message::data (a base64 picture)
    };

    // Sends a command. `done` (may be empty) gets its reply; its Message's
    // params hold the result. Returns the command's id, or 0 when it could
    // not be sent (then `done` still gets the failure, later). A command sent
    // without `done` keeps no state here and has no deadline: its reply is
    // dropped when it comes.
    int send(const QString &method, const QJsonObject &params, const Options &options, Reply done);
    int send(const QString &method, const QJsonObject &params = {}, const QString &sessionId = {},
             Reply done = {});

    bool isOpen() const { return m_open; }
    // How many commands await their reply.
    int pendingCount() const;
    // The sequence number the next message to arrive will carry: messages
    // delivered later with a lower number arrived before this moment.
    quint64 nextSequence() const { return m_sequence; }

    // Closes both descriptors; every command under way fails.
    void close();

signals:
    void eventReceived(const snapvel::cdp::Message &message);
    // The pipe closed (the browser went away). Emitted once, after the
    // messages that arrived before it.
    void closed();

private:
    using Clock = std::chrono::steady_clock;

    struct Pending
    {
        QString method;
        Reply done;
        Clock::time_point deadline;
        std::chrono::milliseconds timeout;
        bool keepData = false;
    };
    // One thing to hand out from the event loop, in order of arrival.
    struct Delivery
    {
        enum class Kind
        {
            Event,
            Reply,
            Closed
        };
        Kind kind = Kind::Event;
        Message message;
        Reply done;
        std::optional<Failure> failure;
    };

    void flush();
    void onReadable();
    void readAvailable();
    void onWritable();
    void dispatch(QByteArray json);
    bool keepsData(int id) const;
    void onDeadline();
    void armDeadlineTimer();
    void fail(int id, const Failure &failure);
    void lose();
    void shutDown();
    void scheduleDelivery();
    void deliver();

    int m_commandFd = -1;
    int m_messageFd = -1;
    bool m_open = true;
    bool m_deliveryScheduled = false;
    int m_nextId = 1;
    quint64 m_sequence = 0;
    MessageFramer m_framer;
    QByteArray m_chunk;   // what one read() fills, kept between reads
    QByteArray m_unsent;  // framed commands the pipe has not taken yet
    qsizetype m_sent = 0; // how much of m_unsent has been written
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_deadlineTimer = nullptr;
    QHash<int, Pending> m_pending;
    std::set<std::pair<Clock::time_point, int>> m_deadlines;
    std::deque<Delivery> m_queue;
};

} // namespace snapvel::cdp

Q_DECLARE_METATYPE(snapvel::cdp::Message)
