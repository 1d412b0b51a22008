#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>

namespace snapvel::test {

// An HTTPS server on 127.0.0.1 with a self-signed certificate made by
// openssl when it starts, answering every request with one page. It runs on
// the caller's thread, so it answers while the caller's event loop runs.
class TlsPageServer : public QTcpServer
{
public:
    explicit TlsPageServer(const QByteArray &page);

    // Why it cannot serve (no TLS support, no openssl), or empty when it
    // listens.
    QString unavailable() const { return m_unavailable; }
    QUrl url() const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QByteArray m_page;
    QTemporaryDir m_folder;
    QByteArray m_certificate;
    QByteArray m_key;
    QString m_unavailable;
};

} // namespace snapvel::test
