// The DevTools pipe framing and connection, against a fake browser on the
// other end of two pipes.

#include "platform/cdp/connection.h"
#include "platform/cdp/framing.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using snapvel::cdp::Connection;
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

    // The commands the connection wrote so far, parsed.
    QList<QJsonObject> commands()
    {
        ::fcntl(m_commandRead, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(m_commandRead, buffer, sizeof buffer)) > 0)
            m_framer.append(buffer, got);
        QList<QJsonObject> parsed;
        while (std::optional<QByteArray> message = m_framer.next())
            parsed << QJsonDocument::fromJson(*message).object();
        return parsed;
    }

    int connectionCommandFd = -1;
    int connectionMessageFd = -1;

private:
    int m_commandRead = -1;
    int m_messageWrite = -1;
    MessageFramer m_framer;
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

QStringList methodsOf(const QSignalSpy &spy)
{
    QStringList methods;
    for (const QList<QVariant> &arguments : spy)
        methods << arguments.at(0).value<Message>().method;
    return methods;
}

} // namespace

class CdpConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void framerSplitsMessagesWhereverReadsEnd_data();
    void framerSplitsMessagesWhereverReadsEnd();
    void framerKeepsALargeMessageWhole();
    void callReturnsItsReplyReadInPieces();
    void eventsBeforeTheReplyAreDeliveredLaterInOrder();
    void repliesAreMatchedById();
    void errorReplyBecomesAFailure();
    void closedPipeFailsEveryWaitingCall();
    void callTimesOutAndItsLateReplyIsDropped();
    void idleEventsArePickedUp();
    void largeDataRepliesKeepTheirBytes();

private:
    std::unique_ptr<Connection> connect(FakeBrowserEnd &peer,
                                        std::chrono::milliseconds timeout = 5s)
    {
        return std::make_unique<Connection>(peer.connectionCommandFd, peer.connectionMessageFd,
                                            timeout);
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

void CdpConnectionTest::framerKeepsALargeMessageWhole()
{
    const QByteArray data(8 * 1024 * 1024, 'x');
    const QByteArray stream =
        MessageFramer::frame(j("{'data':'") + data + j("'}")) + MessageFramer::frame("{}");
    MessageFramer framer;
    QList<QByteArray> messages;
    for (qsizetype at = 0; at < stream.size(); at += 65536) {
        framer.append(stream.constData() + at, std::min<qsizetype>(65536, stream.size() - at));
        messages << drain(framer);
    }
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages.at(0).size(), data.size() + 11);
    QVERIFY(messages.at(0).endsWith(j("xxx'}")));
    QCOMPARE(messages.at(1), QByteArray("{}"));
}

void CdpConnectionTest::callReturnsItsReplyReadInPieces()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    const QByteArray reply = MessageFramer::frame(j("{'id':1,'result':{'value':'complete'}}"));
    // The reply arrives in pieces while the call waits.
    std::thread writer([&peer, reply] {
        for (qsizetype at = 0; at < reply.size(); at += 7) {
            std::this_thread::sleep_for(2ms);
            peer.write(reply.mid(at, 7));
        }
    });
    // The call waits on the pipe, never on the event loop.
    // The timer goes with this test, so that it never fires into a later one.
    bool timerFired = false;
    QObject timerOwner;
    QTimer::singleShot(0, &timerOwner, [&timerFired] { timerFired = true; });
    const auto result = connection->call(QStringLiteral("Test.method"), {{"a", 1}});
    writer.join();
    QVERIFY(!timerFired);
    QVERIFY2(result, qPrintable(result.error()));
    QCOMPARE(result->value("value").toString(), QStringLiteral("complete"));

    const QList<QJsonObject> commands = peer.commands();
    QCOMPARE(commands.size(), 1);
    QCOMPARE(commands.at(0).value("id").toInt(), 1);
    QCOMPARE(commands.at(0).value("method").toString(), QStringLiteral("Test.method"));
    QCOMPARE(commands.at(0).value("params").toObject().value("a").toInt(), 1);
}

void CdpConnectionTest::eventsBeforeTheReplyAreDeliveredLaterInOrder()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    QSignalSpy messages(connection.get(), &Connection::messageReceived);
    // Events and the reply, several in one write.
    peer.write(MessageFramer::frame(j("{'method':'First','params':{'n':1}}")) +
               MessageFramer::frame(j("{'method':'Second','sessionId':'S1'}")) +
               MessageFramer::frame(j("{'id':1,'result':{},'sessionId':'S1'}")) +
               MessageFramer::frame(j("{'method':'Third'}")));
    const auto result = connection->call(QStringLiteral("Test.method"), {}, QStringLiteral("S1"));
    QVERIFY2(result, qPrintable(result.error()));
    QCOMPARE(peer.commands().at(0).value("sessionId").toString(), QStringLiteral("S1"));
    // Nothing is emitted from inside the call.
    QCOMPARE(messages.count(), 0);
    QTRY_COMPARE(messages.count(), 3);
    QCOMPARE(methodsOf(messages), (QStringList{"First", "Second", "Third"}));
    const Message second = messages.at(1).at(0).value<Message>();
    QCOMPARE(second.sessionId, QStringLiteral("S1"));
    QVERIFY(second.isEvent());
    QCOMPARE(messages.at(0).at(0).value<Message>().params.value("n").toInt(), 1);
}

void CdpConnectionTest::repliesAreMatchedById()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    QSignalSpy messages(connection.get(), &Connection::messageReceived);
    const auto first = connection->send(QStringLiteral("One"));
    const auto posted = connection->post(QStringLiteral("Two"), {}, {}, true);
    const auto third = connection->send(QStringLiteral("Three"));
    QVERIFY(first && posted && third);
    // Answered out of order.
    peer.send(j("{'id':3,'result':{'n':3}}"));
    peer.send(j("{'id':2,'result':{'n':2}}"));
    peer.send(j("{'id':1,'result':{'n':1}}"));
    QCOMPARE(connection->wait(first.value())->value("n").toInt(), 1);
    QCOMPARE(connection->wait(third.value())->value("n").toInt(), 3);
    // The posted command's reply comes as a message.
    QTRY_COMPARE(messages.count(), 1);
    const Message reply = messages.at(0).at(0).value<Message>();
    QVERIFY(!reply.isEvent());
    QCOMPARE(reply.id, posted.value());
    QCOMPARE(reply.params.value("n").toInt(), 2);
}

void CdpConnectionTest::errorReplyBecomesAFailure()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    peer.send(j("{'id':1,'error':{'code':-32000,'message':'Cannot find context'}}"));
    const auto result = connection->call(QStringLiteral("Runtime.evaluate"));
    QVERIFY(!result);
    QVERIFY2(result.error().contains(QLatin1String("Cannot find context")),
             qPrintable(result.error()));
    QVERIFY(result.error().contains(QLatin1String("Runtime.evaluate")));
    QVERIFY(connection->isOpen());
}

void CdpConnectionTest::closedPipeFailsEveryWaitingCall()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer, 30s);
    QSignalSpy closed(connection.get(), &Connection::closed);
    QSignalSpy messages(connection.get(), &Connection::messageReceived);
    const auto first = connection->send(QStringLiteral("One"));
    const auto second = connection->send(QStringLiteral("Two"));
    const auto posted = connection->post(QStringLiteral("Three"), {}, {}, true);
    QVERIFY(first && second && posted);
    std::thread closer([&peer] {
        std::this_thread::sleep_for(50ms);
        peer.closeMessages();
    });
    const auto firstResult = connection->wait(first.value());
    closer.join();
    QVERIFY(!firstResult);
    QCOMPARE(firstResult.error(), QStringLiteral("The browser stopped unexpectedly."));
    const auto secondResult = connection->wait(second.value());
    QVERIFY(!secondResult);
    QCOMPARE(secondResult.error(), firstResult.error());
    QVERIFY(!connection->isOpen());
    const auto later = connection->call(QStringLiteral("Four"));
    QVERIFY(!later);
    QCOMPARE(later.error(), firstResult.error());

    // The posted command's failure, then the closing, through the event loop.
    QCOMPARE(closed.count(), 0);
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).value<Message>().id, posted.value());
    QCOMPARE(messages.at(0).at(0).value<Message>().error, firstResult.error());
}

void CdpConnectionTest::callTimesOutAndItsLateReplyIsDropped()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer, 200ms);
    const auto result = connection->call(QStringLiteral("Slow.method"));
    QVERIFY(!result);
    QVERIFY2(result.error().contains(QLatin1String("did not answer")), qPrintable(result.error()));
    // The late reply to the first call must not be taken for the second's.
    peer.send(j("{'id':1,'result':{'n':1}}"));
    peer.send(j("{'id':2,'result':{'n':2}}"));
    const auto next = connection->call(QStringLiteral("Next.method"));
    QVERIFY2(next, qPrintable(next.error()));
    QCOMPARE(next->value("n").toInt(), 2);
}

void CdpConnectionTest::idleEventsArePickedUp()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    QSignalSpy messages(connection.get(), &Connection::messageReceived);
    peer.send(j("{'method':'Idle.one'}"));
    peer.write(MessageFramer::frame(j("{'method':'Idle.two'}")) + j("{'meth"));
    QTRY_COMPARE(messages.count(), 2);
    peer.write(QByteArray(j("od':'Idle.three'}")) + '\0');
    QTRY_COMPARE(messages.count(), 3);
    QCOMPARE(methodsOf(messages), (QStringList{"Idle.one", "Idle.two", "Idle.three"}));
}

void CdpConnectionTest::largeDataRepliesKeepTheirBytes()
{
    FakeBrowserEnd peer;
    auto connection = connect(peer);
    QSignalSpy messages(connection.get(), &Connection::messageReceived);
    QByteArray picture(3 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 7 % 251);
    const QByteArray base64 = picture.toBase64();
    // A large reply, an event behind it, then a small reply to a second
    // call, and a large one whose string holds an escape.
    std::thread writer([&peer, &base64] {
        peer.write(j("{'id':1,'result':{'data':'") + base64 + j("','more':5},'sessionId':'S'}") +
                   '\0' + MessageFramer::frame(j("{'method':'After'}")));
        std::this_thread::sleep_for(20ms);
        peer.send(j("{'id':2,'result':{'data':'c21hbGw='}}"));
        std::this_thread::sleep_for(20ms);
        peer.send(j("{'id':3,'result':{'data':'") + base64.left(2 * 1024 * 1024) + j("\\/'}}"));
    });
    const auto large = connection->callForData(QStringLiteral("Page.captureScreenshot"));
    const auto small = connection->callForData(QStringLiteral("Page.captureScreenshot"));
    const auto escaped = connection->callForData(QStringLiteral("Page.captureScreenshot"));
    writer.join();
    QVERIFY2(large, qPrintable(large.error()));
    QCOMPARE(large->size(), base64.size());
    QVERIFY(large.value() == base64);
    QVERIFY2(small, qPrintable(small.error()));
    QCOMPARE(small.value(), QByteArray("c21hbGw="));
    QVERIFY2(escaped, qPrintable(escaped.error()));
    QCOMPARE(escaped.value(), base64.left(2 * 1024 * 1024) + "/");
    QTRY_COMPARE(methodsOf(messages), QStringList{"After"});
}

QTEST_MAIN(CdpConnectionTest)
#include "cdpconnection_test.moc"
