#include "support/pageserver.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace snapvel::test {

PageServer::PageServer() : m_thread(new QThread)
{
    m_thread->setObjectName(QStringLiteral("PageServer"));
    // The server is created, listens and lives on the server thread; it is
    // deleted there when the thread finishes.
    auto *context = new QObject;
    context->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, context, &QObject::deleteLater);
    m_thread->start();
    QMetaObject::invokeMethod(
        context,
        [this, context] {
            auto *server = new QTcpServer(context);
            if (!server->listen(QHostAddress::LocalHost, 0))
                qFatal("The test page server could not listen: %s",
                       qPrintable(server->errorString()));
            m_port = server->serverPort();
            serve(server);
        },
        Qt::BlockingQueuedConnection);
}

PageServer::~PageServer()
{
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void PageServer::serve(QTcpServer *server)
{
    QObject::connect(server, &QTcpServer::newConnection, server, [this, server] {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                QByteArray request = socket->property("request").toByteArray();
                request += socket->readAll();
                socket->setProperty("request", request);
                if (!request.contains("\r\n\r\n"))
                    return;
                socket->setProperty("request", QByteArray());
                int delayMs = 0;
                const QByteArray response = respond(request, &delayMs);
                if (response.isEmpty())
                    return; // held open until the server stops
                QTimer::singleShot(delayMs, socket, [socket, response] {
                    socket->write(response);
                    socket->disconnectFromHost();
                });
            });
        }
    });
}

QByteArray PageServer::respond(const QByteArray &request, int *delayMs)
{
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    QString path = requestLine.size() >= 2 ? QString::fromUtf8(requestLine.at(1)) : QString();
    path = path.left(path.indexOf(QLatin1Char('?')) < 0 ? path.size()
                                                        : path.indexOf(QLatin1Char('?')));
    Page page;
    {
        QMutexLocker lock(&m_mutex);
        m_requested << path;
        const auto found = m_pages.constFind(path);
        if (found == m_pages.cend()) {
            page.body = "<!DOCTYPE html><title>Not found</title>Not found";
            page.contentType = "text/html; charset=utf-8";
            page.status = "404 Not Found";
        } else {
            page = *found;
        }
    }
    if (page.stalled)
        return {};
    *delayMs = page.delayMs;
    QByteArray response = "HTTP/1.1 " + page.status + "\r\nContent-Type: " + page.contentType +
                          "\r\nContent-Length: " + QByteArray::number(page.body.size()) + "\r\n" +
                          page.headers + "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    return response + page.body;
}

void PageServer::addPage(const QString &path, const QByteArray &body, const QByteArray &contentType)
{
    QMutexLocker lock(&m_mutex);
    m_pages.insert(path, Page{body, contentType, "200 OK", {}, false});
}

void PageServer::addResponse(const QString &path, const QByteArray &status,
                             const QByteArray &headers, const QByteArray &body,
                             const QByteArray &contentType)
{
    QMutexLocker lock(&m_mutex);
    m_pages.insert(path, Page{body, contentType, status, headers, false});
}

void PageServer::addDelayed(const QString &path, const QByteArray &body,
                            const QByteArray &contentType, int delayMs)
{
    QMutexLocker lock(&m_mutex);
    Page page{body, contentType, "200 OK", {}, false};
    page.delayMs = delayMs;
    m_pages.insert(path, page);
}

void PageServer::addStalled(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    Page page;
    page.stalled = true;
    m_pages.insert(path, page);
}

QUrl PageServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

QString PageServer::refusedAddress(const QString &path)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return {};
    return QStringLiteral("http://127.0.0.1:%1%2").arg(probe.serverPort()).arg(path);
}

QStringList PageServer::requestedPaths() const
{
    QMutexLocker lock(&m_mutex);
    return m_requested;
}

} // namespace snapvel::test
