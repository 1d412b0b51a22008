#include "support/tlspageserver.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>

namespace snapvel::test {

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TlsPageServer::TlsPageServer(const QByteArray &page) : m_page(page)
{
    if (!QSslSocket::supportsSsl()) {
        m_unavailable = QStringLiteral("Qt has no TLS support here");
        return;
    }
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty()) {
        m_unavailable = QStringLiteral("openssl is not installed");
        return;
    }
    const QString certificate = m_folder.filePath(QStringLiteral("certificate.pem"));
    const QString key = m_folder.filePath(QStringLiteral("key.pem"));
    QProcess make;
    make.start(openssl, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                         QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                         QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                         QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"), key,
                         QStringLiteral("-out"), certificate});
    if (!make.waitForFinished(30000) || make.exitCode() != 0) {
        m_unavailable = QStringLiteral("openssl could not make a certificate: ") +
                        QString::fromLocal8Bit(make.readAllStandardError());
        return;
    }
    m_certificate = readAll(certificate);
    m_key = readAll(key);
    if (!listen(QHostAddress::LocalHost, 0))
        m_unavailable = errorString();
}

QUrl TlsPageServer::url() const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(serverPort()));
}

void TlsPageServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    // A browser that refuses the certificate closes the connection.
    connect(socket, &QSslSocket::errorOccurred, socket, &QSslSocket::deleteLater);
    connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
        QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                      "Content-Length: " +
                      QByteArray::number(m_page.size()) + "\r\nConnection: close\r\n\r\n" + m_page);
        socket->disconnectFromHost();
    });
    socket->setLocalCertificate(QSslCertificate(m_certificate));
    socket->setPrivateKey(QSslKey(m_key, QSsl::Ec));
    socket->startServerEncryption();
}

} // namespace snapvel::test
