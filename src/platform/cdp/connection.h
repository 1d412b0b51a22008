#pragma once

#include "platform/cdp/framing.h"
#include "platform/result.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>

#include <chrono>
#include <deque>

class QSocketNotifier;

namespace snapvel::cdp {

// One message from the browser: an event, or the reply to a command whose
// reply was asked to be delivered later (see Connection::post).
struct Message
{
    int id = 0;           // the command's id for a reply, 0 for an event
    QString method;       // the event's name
    QString sessionId;    // the session it belongs to; empty for the browser's
    QJsonObject params;   // the event's parameters, or the reply's result
    QString error;        // the reply's error message, if it failed
    QByteArray data;      // the result's "data" string, for callForData()
    quint64 sequence = 0; // position in the order of arrival

    bool isEvent() const { return id == 0; }
};

// A DevTools protocol connection over a pair of pipe file descriptors.
//
// Calls are synchronous: the command is written, then the pipe is read with
// poll() until that command's reply arrives or the timeout passes. The Qt
// event loop is never run. Events (and replies asked for later) that arrive
// meanwhile are queued and emitted through the event loop afterwards, in the
// order they arrived. When no call runs, a socket notifier picks them up.
//
// When the pipe closes, every waiting call fails at once and later calls fail
// without waiting.
class Connection : public QObject
{
    Q_OBJECT

public:
    // Takes ownership of both descriptors: commands are written to
    // commandFd, replies and events read from messageFd.
    Connection(int commandFd, int messageFd, std::chrono::milliseconds timeout,
               QObject *parent = nullptr);
    ~Connection() override;

    // Sends a command and waits for its result.
    Result<QJsonObject> call(const QString &method, const QJsonObject &params = {},
                             const QString &sessionId = {});

    // Sends a command whose result holds a large "data" string (such as a
    // base64 picture) and returns that string's bytes, read without passing
    // them through a JSON string.
    Result<QByteArray> callForData(const QString &method, const QJsonObject &params = {},
                                   const QString &sessionId = {});

    // Sends a command whose result is collected later with wait().
    Result<int> send(const QString &method, const QJsonObject &params = {},
                     const QString &sessionId = {});
    // Waits for the result of a command sent with send().
    Result<QJsonObject> wait(int id);

    // Sends a command without waiting. Its reply is dropped, or, with
    // deliverReply, emitted as a Message like an event. Returns the id.
    Result<int> post(const QString &method, const QJsonObject &params = {},
                     const QString &sessionId = {}, bool deliverReply = false);

    bool isOpen() const { return m_open; }
    // Whether a call has gone unanswered past the timeout: the browser is
    // hung or overloaded, and its owner should not trust it any longer.
    bool hasTimedOut() const { return m_timedOut; }
    // The sequence number the next message to arrive will carry.
    quint64 nextSequence() const { return m_sequence; }

    // Closes both descriptors; waiting calls fail.
    void close();

signals:
    void messageReceived(const snapvel::cdp::Message &message);
    // The pipe closed (the browser went away). Emitted once, after the
    // messages that arrived before it.
    void closed();

private:
    using Clock = std::chrono::steady_clock;

    Result<int> write(const QString &method, const QJsonObject &params, const QString &sessionId);
    bool writeAll(const QByteArray &bytes, Clock::time_point deadline);
    // Reads what the pipe holds, waiting up to the deadline for something to
    // arrive. Returns false when the pipe has closed.
    bool read(Clock::time_point deadline);
    Result<Message> waitForReply(int id);
    void dispatch(const QByteArray &json);
    void lose();
    void scheduleDelivery();
    void deliver();
    void onReadable();
    Failure closedFailure() const;

    int m_commandFd = -1;
    int m_messageFd = -1;
    std::chrono::milliseconds m_timeout;
    bool m_open = true;
    bool m_timedOut = false;
    bool m_closedSignalDue = false;
    bool m_deliveryScheduled = false;
    int m_nextId = 1;
    quint64 m_sequence = 0;
    MessageFramer m_framer;
    QByteArray m_chunk; // what one read() fills, kept between reads
    QSocketNotifier *m_notifier = nullptr;
    QSet<int> m_awaited;           // sent with send(), reply not yet collected
    QHash<int, Message> m_replies; // replies arrived for awaited commands
    QSet<int> m_delivered;         // replies to be emitted as messages
    QSet<int> m_dataReplies;       // replies whose "data" string is kept raw
    QHash<int, QString> m_methods; // method of each command still unanswered
    std::deque<Message> m_queue;
};

} // namespace snapvel::cdp

Q_DECLARE_METATYPE(snapvel::cdp::Message)
