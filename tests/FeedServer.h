#pragma once

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QUrl>

// An HTTPS server on 127.0.0.1 for the updater's tests, with a certificate made for the run and
// trusted by this process only. Each path answers with a fixed status and body, or never.
class FeedServer : public QObject
{
public:
    struct Response
    {
        int status = 200;
        QByteArray body;
        bool hang = false; // accept the request and never answer
    };

    bool start()
    {
        const QString key = m_dir.filePath("key.pem");
        const QString cert = m_dir.filePath("cert.pem");
        QProcess openssl;
        openssl.start("openssl",
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                "subjectAltName=IP:127.0.0.1"});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
            return false;
        QFile keyFile(key), certFile(cert);
        if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly))
            return false;
        const QSslCertificate certificate(certFile.readAll());
        QSslConfiguration server = QSslConfiguration::defaultConfiguration();
        server.setLocalCertificate(certificate);
        server.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
        m_server.setSslConfiguration(server);

        // The client side trusts this certificate and nothing else changes: checks stay on.
        QSslConfiguration client = QSslConfiguration::defaultConfiguration();
        client.addCaCertificate(certificate);
        QSslConfiguration::setDefaultConfiguration(client);

        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
        return m_server.listen(QHostAddress::LocalHost);
    }

    QUrl url(const QString &path) const
    {
        return QUrl(QString("https://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }

    QHash<QString, Response> routes;
    QStringList requests;

private:
    void serve(QTcpSocket *socket)
    {
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            m_buffers[socket] += socket->readAll();
            if (!m_buffers[socket].contains("\r\n\r\n"))
                return;
            const QByteArray line = m_buffers.take(socket).split('\r').first();
            const QString path = QString::fromLatin1(line.split(' ').value(1));
            requests.append(path);
            const Response response = routes.value(path, Response{404, "not found", false});
            if (response.hang)
                return;
            socket->write("HTTP/1.1 " + QByteArray::number(response.status)
                + " X\r\n"
                  "Content-Type: application/octet-stream\r\nContent-Length: "
                + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n"
                + response.body);
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    QTemporaryDir m_dir;
    QSslServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
