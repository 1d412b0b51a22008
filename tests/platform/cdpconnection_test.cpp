// The DevTools pipe framing and the asynchronous connection, against a fake
// browser on the other end of two pipes.

#include "platform/cdp/base64.h"
#include "platform/cdp/connection.h"
#include "platform/cdp/framing.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using snapvel::FailureKind;
using snapvel::Result;
using snapvel::cdp::Connection;
using snapvel::cdp::decodeBase64;
using snapvel::cdp::Message;
using snapvel::cdp::MessageFramer;

namespace {

// The browser's side of the pipes.
class FakeBrowserEnd
{
public:
    FakeBrowserEnd()
    {
        int commands[2];
        int messages[2];
        QVERIFY(::pipe2(commands, O_CLOEXEC) == 0);
        QVERIFY(::pipe2(messages, O_CLOEXEC) == 0);
        m_commandRead = commands[0];
        m_messageWrite = messages[1];
        connectionCommandFd = commands[1];
        connectionMessageFd = messages[0];
    }
    ~FakeBrowserEnd()
    {
        closeMessages();
        ::close(m_commandRead);
    }

    void write(const QByteArray &bytes) const
    {
        QCOMPARE(::write(m_messageWrite, bytes.constData(), bytes.size()), bytes.size());
    }
    void send(const QByteArray &json) const { write(MessageFramer::frame(json)); }
    void closeMessages()
    {
        if (m_messageWrite >= 0)
            ::close(m_messageWrite);
        m_messageWrite = -1;
    }

    // The commands the connection wrote so far, parsed. With `wait`, reads
    // (blocking) until that many have come.
    QList<QJsonObject> commands(int wait = 0)
    {
        ::fcntl(m_commandRead, F_SETFL, wait > 0 ? 0 : O_NONBLOCK);
        char buffer[65536];
        for (;;) {
            while (std::optional<QByteArray> message = m_framer.next())
                m_commands << QJsonDocument::fromJson(*message).object();
            if (wait > 0 && m_commands.size() >= wait)
                break;
            const ssize_t got = ::read(m_commandRead, buffer, sizeof buffer);
            if (got <= 0)
                break;
            m_framer.append(buffer, got);
        }
        return m_commands;
    }

    int connectionCommandFd = -1;
    int connectionMessageFd = -1;

private:
    int m_commandRead = -1;
    int m_messageWrite = -1;
    MessageFramer m_framer;
    QList<QJsonObject> m_commands;
};

// JSON written with single quotes, for readability.
QByteArray j(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

QList<QByteArray> drain(MessageFramer &framer)
{
    QList<QByteArray> messages;
    while (std::optional<QByteArray> message = framer.next())
        messages << *message;
    return messages;
}

// What a connection handed out, in order: "event <method>", "reply <n>"
// (the result's n), "failed <message>" or "closed".
class Log
{
public:
    explicit Log(Connection &connection)
    {
        QObject::connect(&connection, &Connection::eventReceived, &m_context,
                         [this](const Message &message) { entries << "event " + message.method; });
        QObject::connect(&connection, &Connection::closed, &m_context,
                         [this] { entries << QStringLiteral("closed"); });
    }
    Connection::Reply reply()
    {
        return [this](Result<Message> result) {
            if (result)
                entries << QStringLiteral("reply %1").arg(result->params.value("n").toInt());
            else
                entries << "failed " + result.error();
            results << result;
        };
    }

    QStringList entries;
    QList<Result<Message>> results;

private:
    QObject m_context;
};

} // namespace

class CdpConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void framerSplitsMessagesWhereverReadsEnd_data();
    void framerSplitsMessagesWhereverReadsEnd();
    void framerKeepsALargeMessageWhole();
    void picturesDecodeFromBase64();
    void repliesAreMatchedByIdInAnyOrderAndNeverFromSend();
    void eventsAndRepliesComeInTheirOrderOfArrival();
    void errorReplyBecomesAFailure();
    void eachCommandHasItsOwnDeadlineAndALateReplyIsDropped();
    void closedPipeFailsEveryPendingCommandAtOnce();
    void largeDataRepliesKeepTheirBytes();
    void aFullPipeDoesNotBlockTheCaller();
    void aReceiverMayDestroyTheConnection();

private:
    std::unique_ptr<Connection> connect(FakeBrowserEnd &peer)
    {
        return std::make_unique<Connection>(peer.connectionCommandFd, peer.connectionMessageFd);
    }
};

void CdpConnectionTest::framerSplitsMessagesWhereverReadsEnd_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("three bytes") << 3;
    QTest::newRow("all at once") << 1000;
}

void CdpConnectionTest::framerSplitsMessagesWhereverReadsEnd()
{
    QFETCH(int, pieceSize);
    const QByteArray stream = MessageFramer::frame(j("{'id':1}")) +
                              MessageFramer::frame(j("{'method':'A'}")) +
                              MessageFramer::frame("{}") + QByteArray(j("{'id':"));
    MessageFramer framer;
    QList<QByteArray> messages;
    for (qsizetype at = 0; at < stream.size(); at += pieceSize) {
        const QByteArray piece = stream.mid(at, pieceSize);
        framer.append(piece.constData(), piece.size());
        messages << drain(framer);
    }
    QCOMPARE(messages, (QList<QByteArray>{j("{'id':1}"), j("{'method':'A'}"), "{}"}));
    // The unfinished message waits for its end.
    QCOMPARE(framer.pendingBytes(), 6);
    framer.append("2}\0", 3);
    QCOMPARE(drain(framer), QList<QByteArray>{j("{'id':2}")});
    QCOMPARE(framer.pendingBytes(), 0);
}

void CdpConnectionTest::picturesDecodeFromBase64()
{
    // Every byte value, at every length modulo three (the padding).
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i)
        bytes.append(static_cast<char>(i * 131 % 256));
    for (const qsizetype size : {0, 1, 2, 3, 4, 5, 256, 999, 1000}) {
        const QByteArray original = bytes.left(size);
        const std::optional<QByteArray> decoded = decodeBase64(original.toBase64());
        QVERIFY2(decoded, qPrintable(QString::number(size)));
        QCOMPARE(*decoded, original);
    }
    // Not base64 as the browser sends it: nothing, not a part decoded.
    for (const QByteArray &bad :
         {QByteArray("QUJD\n"), QByteArray("QUJ"), QByteArray("QU=D"), QByteArray("Q==="),
          QByteArray("QUJD-_8="), QByteArray("QUJDQUJD QUJD")})
        QVERIFY2(!decodeBase64(bad), bad.constData());
}

void CdpConnectionTest::framerKeepsALargeMessageWhole()
{
    // A large message between small ones, read in pieces or all at once.
    const QByteArray data(8 * 1024 * 1024, 'x');
    const QByteArray stream = MessageFramer::frame(j("{'id':0}")) +
                              MessageFramer::frame(j("{'data':'") + data + j("'}")) +
                              MessageFramer::frame("{}") + QByteArray("{'i");
    for (const qsizetype piece : {qsizetype(65536), stream.size()}) {
        MessageFramer framer;
        QList<QByteArray> messages;
        for (qsizetype at = 0; at < stream.size(); at += piece) {
            framer.append(stream.constData() + at, std::min(piece, stream.size() - at));
            messages << drain(framer);
        }
        QCOMPARE(messages.size(), 3);
        QCOMPARE(messages.at(0), j("{'id':0}"));
        QCOMPARE(messages.at(1).size(), data.size() + 11);
        QVERIFY(messages.at(1).startsWith(j("{'data':'xxx")));
        QVERIFY(messages.at(1).endsWith(j("xxx'}")));
        QCOMPARE(messages.at(2), QByteArray("{}"));
        QCOMPARE(framer.pendingBytes(), 3);
        framer.append("d'}\0", 4);
        QCOMPARE(drain(framer), QList<QByteArray>{"{'id'}"});
    }
}

void CdpConnectionTest::repliesAreMatchedByIdInAnyOrderAndNeverFromSend()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    const int first = connection->send(QStringLiteral("One"), {{"a", 1}}, QString(), log.reply());
    const int second =
        connection->send(QStringLiteral("Two"), {}, QStringLiteral("S1"), log.reply());
    const int third = connection->send(QStringLiteral("Three"), {}, QString(), log.reply());
    QCOMPARE(connection->pendingCount(), 3);

    const QList<QJsonObject> commands = peer.commands();
    QCOMPARE(commands.size(), 3);
    QCOMPARE(commands.at(0).value("id").toInt(), first);
    QCOMPARE(commands.at(0).value("method").toString(), QStringLiteral("One"));
    QCOMPARE(commands.at(0).value("params").toObject().value("a").toInt(), 1);
    QVERIFY(!commands.at(0).contains("sessionId"));
    QCOMPARE(commands.at(1).value("sessionId").toString(), QStringLiteral("S1"));
    QVERIFY(first != second && second != third && first != third);

    // Answered out of order, the middle reply split across writes.
    const QByteArray replies =
        MessageFramer::frame(
            j("{'id':%3,'result':{'n':3}}").replace("%3", QByteArray::number(third))) +
        MessageFramer::frame(j("{'id':%2,'result':{'n':2},'sessionId':'S1'}")
                                 .replace("%2", QByteArray::number(second))) +
        MessageFramer::frame(
            j("{'id':%1,'result':{'n':1}}").replace("%1", QByteArray::number(first)));
    peer.write(replies.left(30));
    // Nothing is handed out without the event loop.
    QTest::qSleep(20);
    QCOMPARE(log.entries, QStringList());
    peer.write(replies.mid(30));
    QTRY_COMPARE(log.entries, (QStringList{"reply 3", "reply 2", "reply 1"}));
    QCOMPARE(log.results.at(1)->sessionId, QStringLiteral("S1"));
    QCOMPARE(log.results.at(1)->method, QStringLiteral("Two"));
    QCOMPARE(connection->pendingCount(), 0);

    // A command sent without a callback keeps nothing; its reply is dropped.
    const int untracked = connection->send(QStringLiteral("Four"));
    QVERIFY(untracked > third);
    QCOMPARE(connection->pendingCount(), 0);
    peer.send(j("{'id':%4,'result':{'n':4}}").replace("%4", QByteArray::number(untracked)));
    QTest::qWait(50);
    QCOMPARE(log.entries.size(), 3);
}

void CdpConnectionTest::eventsAndRepliesComeInTheirOrderOfArrival()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    QSignalSpy events(connection.get(), &Connection::eventReceived);
    connection->send(QStringLiteral("A"), {}, QString(), log.reply());
    connection->send(QStringLiteral("B"), {}, QString(), log.reply());
    const quint64 before = connection->nextSequence();
    peer.write(MessageFramer::frame(j("{'method':'First','params':{'x':1}}")) +
               MessageFramer::frame(j("{'id':2,'result':{'n':2}}")) +
               MessageFramer::frame(j("{'method':'Second','sessionId':'S1'}")));
    QTRY_COMPARE(log.entries.size(), 3);
    peer.write(MessageFramer::frame(j("{'id':1,'result':{'n':1}}")) +
               MessageFramer::frame(j("{'method':'Third'}")));
    QTRY_COMPARE(log.entries,
                 (QStringList{"event First", "reply 2", "event Second", "reply 1", "event Third"}));
    const Message first = events.at(0).at(0).value<Message>();
    QVERIFY(first.isEvent());
    QCOMPARE(first.params.value("x").toInt(), 1);
    QCOMPARE(first.sequence, before);
    const Message second = events.at(1).at(0).value<Message>();
    QCOMPARE(second.sessionId, QStringLiteral("S1"));
    QVERIFY(second.sequence > first.sequence);
    QCOMPARE(connection->nextSequence(), before + 5);
}

void CdpConnectionTest::errorReplyBecomesAFailure()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    connection->send(QStringLiteral("Runtime.evaluate"), {}, QString(), log.reply());
    peer.send(j("{'id':1,'error':{'code':-32000,'message':'Cannot find context'}}"));
    QTRY_COMPARE(log.results.size(), 1);
    const Result<Message> &result = log.results.at(0);
    QVERIFY(!result);
    QCOMPARE(
        result.error(),
        QStringLiteral("The browser could not carry out Runtime.evaluate: Cannot find context"));
    QCOMPARE(result.kind(), FailureKind::Other);
    QVERIFY(connection->isOpen());
}

void CdpConnectionTest::eachCommandHasItsOwnDeadlineAndALateReplyIsDropped()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    Connection::Options quick;
    quick.timeout = 200ms;
    connection->send(QStringLiteral("Slow.method"), {}, quick, log.reply());
    connection->send(QStringLiteral("Patient.method"), {}, QString(), log.reply());
    QTRY_COMPARE_WITH_TIMEOUT(log.entries.size(), 1, 5000);
    QCOMPARE(log.entries.at(0),
             QStringLiteral("failed The browser did not answer within 0.2 seconds."));
    QCOMPARE(log.results.at(0).kind(), FailureKind::Timeout);
    // The timed-out command is forgotten; the other still waits.
    QCOMPARE(connection->pendingCount(), 1);

    // The late reply is dropped, and not taken for another command's.
    peer.send(j("{'id':1,'result':{'n':1}}"));
    const int third = connection->send(QStringLiteral("Next.method"), {}, QString(), log.reply());
    QCOMPARE(third, 3);
    peer.send(j("{'id':3,'result':{'n':3}}"));
    peer.send(j("{'id':2,'result':{'n':2}}"));
    QTRY_COMPARE(log.entries.size(), 3);
    QCOMPARE(log.entries.mid(1), (QStringList{"reply 3", "reply 2"}));
    QCOMPARE(connection->pendingCount(), 0);
    QTest::qWait(50);
    QCOMPARE(log.entries.size(), 3);
}

void CdpConnectionTest::closedPipeFailsEveryPendingCommandAtOnce()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    Connection::Options patient;
    patient.timeout = 60s;
    connection->send(QStringLiteral("One"), {}, patient, log.reply());
    connection->send(QStringLiteral("Two"), {}, patient, log.reply());
    peer.send(j("{'method':'Before'}"));
    peer.closeMessages();
    QTRY_COMPARE_WITH_TIMEOUT(log.entries.size(), 4, 2000);
    const QString lost = QStringLiteral("failed The browser stopped unexpectedly.");
    QCOMPARE(log.entries, (QStringList{"event Before", lost, lost, "closed"}));
    QCOMPARE(log.results.at(0).kind(), FailureKind::BrowserLost);
    QVERIFY(!connection->isOpen());
    QCOMPARE(connection->pendingCount(), 0);

    // A later command fails too, from the event loop and not from send().
    QCOMPARE(connection->send(QStringLiteral("Three"), {}, QString(), log.reply()), 0);
    QCOMPARE(log.entries.size(), 4);
    QTRY_COMPARE(log.entries.size(), 5);
    QCOMPARE(log.entries.at(4), lost);
    QTest::qWait(50);
    QCOMPARE(log.entries.count(QStringLiteral("closed")), 1);
}

void CdpConnectionTest::largeDataRepliesKeepTheirBytes()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    QByteArray picture(3 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 7 % 251);
    const QByteArray base64 = picture.toBase64();
    Connection::Options keep;
    keep.keepData = true;
    for (int i = 0; i < 3; ++i)
        connection->send(QStringLiteral("Page.captureScreenshot"), {}, keep, log.reply());
    // The same large reply to a command that did not ask to keep the data.
    connection->send(QStringLiteral("Other"), {}, QString(), log.reply());
    // A large reply with an event behind it, then a small reply, a large one
    // whose string holds an escape, and the plain one; from another thread,
    // so that the pipe is read while it is written.
    std::thread writer([&peer, &base64] {
        peer.write(j("{'id':1,'result':{'data':'") + base64 + j("','more':5},'sessionId':'S'}") +
                   '\0' + MessageFramer::frame(j("{'method':'After'}")));
        peer.send(j("{'id':2,'result':{'data':'c21hbGw='}}"));
        peer.send(j("{'id':3,'result':{'data':'") + base64.left(2 * 1024 * 1024) + j("\\/'}}"));
        peer.send(j("{'id':4,'result':{'data':'") + base64 + j("'}}"));
    });
    QTRY_COMPARE_WITH_TIMEOUT(log.results.size(), 4, 10000);
    writer.join();
    QCOMPARE(log.entries.at(1), QStringLiteral("event After"));
    for (const Result<Message> &result : std::as_const(log.results))
        QVERIFY2(result, qPrintable(result.error()));
    const Message &large = log.results.at(0).value();
    QVERIFY(large.data == base64);
    QCOMPARE(large.params.value("more").toInt(), 5);
    QVERIFY(!large.params.contains("data"));
    QCOMPARE(large.sessionId, QStringLiteral("S"));
    QCOMPARE(log.results.at(1)->data, QByteArray("c21hbGw="));
    QCOMPARE(log.results.at(2)->data, base64.left(2 * 1024 * 1024) + "/");
    const Message &plain = log.results.at(3).value();
    QVERIFY(plain.data.isEmpty());
    QCOMPARE(plain.params.value("data").toString().size(), base64.size());
}

void CdpConnectionTest::aFullPipeDoesNotBlockTheCaller()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    Log log(*connection);
    // Far more than a pipe holds, while the browser reads nothing: send()
    // returns at once, keeping what the pipe does not take.
    const QString large(4 * 1024 * 1024, QLatin1Char('x'));
    connection->send(QStringLiteral("Large"), {{"text", large}}, QString(), log.reply());
    connection->send(QStringLiteral("Small"), {}, QString(), log.reply());
    QCOMPARE(connection->pendingCount(), 2);

    // The rest is written as the browser reads, from the event loop.
    QList<QJsonObject> commands;
    std::atomic<bool> finished{false};
    std::thread reader([&peer, &commands, &finished] {
        commands = peer.commands(2);
        finished = true;
    });
    if (!QTest::qWaitFor([&finished] { return finished.load(); }, 10000))
        connection.reset(); // ends the reader's wait
    reader.join();
    QVERIFY(finished);
    QCOMPARE(commands.size(), 2);
    QCOMPARE(commands.at(0).value("params").toObject().value("text").toString(), large);
    QCOMPARE(commands.at(1).value("method").toString(), QStringLiteral("Small"));
    peer.send(j("{'id':2,'result':{'n':2}}"));
    QTRY_COMPARE(log.entries, QStringList{"reply 2"});
}

void CdpConnectionTest::aReceiverMayDestroyTheConnection()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    int calls = 0;
    connection->send(QStringLiteral("One"), {}, QString(), [&](Result<Message>) {
        ++calls;
        connection.reset();
    });
    connection->send(QStringLiteral("Two"), {}, QString(), [&](Result<Message>) { ++calls; });
    peer.write(MessageFramer::frame(j("{'id':1,'result':{}}")) +
               MessageFramer::frame(j("{'id':2,'result':{}}")));
    peer.closeMessages();
    QTRY_VERIFY(!connection);
    QTest::qWait(50);
    // Nothing more is handed out once it is gone.
    QCOMPARE(calls, 1);
}

QTEST_MAIN(CdpConnectionTest)
#include "cdpconnection_test.moc"
