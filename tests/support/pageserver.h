#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QUrl>

class QThread;
class QTcpServer;

namespace snapvel::test {

// A tiny HTTP server on 127.0.0.1 for tests, serving pages set by the test.
// It runs on its own thread, so it answers while the test's thread is blocked
// in a browser call. Unknown paths get 404.
class PageServer
{
public:
    PageServer();
    ~PageServer();

    PageServer(const PageServer &) = delete;
    PageServer &operator=(const PageServer &) = delete;

    // Serves body at path (which starts with '/'). Safe from any thread.
    void addPage(const QString &path, const QByteArray &body,
                 const QByteArray &contentType = "text/html; charset=utf-8");

    // Serves a response of any status with extra header lines (each ending
    // in "\r\n"), for downloads, errors and authentication challenges.
    void addResponse(const QString &path, const QByteArray &status, const QByteArray &headers,
                     const QByteArray &body,
                     const QByteArray &contentType = "text/html; charset=utf-8");

    // Requests for path are read and never answered: a load that never ends.
    void addStalled(const QString &path);

    // Serves body at path only after delayMs: a slow resource.
    void addDelayed(const QString &path, const QByteArray &body, const QByteArray &contentType,
                    int delayMs);

    // The address of a path on this server.
    QUrl url(const QString &path) const;

    // An address on 127.0.0.1 at a port that was free a moment ago, so that
    // its connection is refused; empty when no port could be had.
    static QString refusedAddress(const QString &path = QStringLiteral("/"));

    // The paths requested so far, in order (without query strings).
    QStringList requestedPaths() const;

private:
    struct Page
    {
        QByteArray body;
        QByteArray contentType;
        QByteArray status = "200 OK";
        QByteArray headers;
        bool stalled = false;
        int delayMs = 0;
    };

    void serve(QTcpServer *server);
    // The response to a request; empty when it is to be held unanswered.
    // *delayMs says how long to hold it first.
    QByteArray respond(const QByteArray &request, int *delayMs);

    mutable QMutex m_mutex;
    QHash<QString, Page> m_pages;
    QStringList m_requested;
    quint16 m_port = 0;
    QThread *m_thread = nullptr;
};

} // namespace snapvel::test
