#pragma once

#include <QHash>
#include <QProcess>
#include <QSslKey>
#include <QSslServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

// An HTTPS server on 127.0.0.1 for the tests of everything that talks to the makers (update
// feed, service), with a certificate made for the run. Each path answers with a fixed status
// and body, late, or never; every request is recorded with its headers and body.
class FeedServer : public QObject
{
public:
    struct Response
    {
        int status = 200;
        QByteArray body;
        bool hang = false; // accept the request and never answer
        int delayMs = 0;
        QByteArray headers = {}; // further header lines, each ending in \r\n
        int trickleMs = 0; // the body goes in ten parts, this far apart
        bool drop = false; // read the request, then close the connection without an answer
    };

    struct Request
    {
        QByteArray method;
        QString path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    // With `trustHere`, this process's default TLS configuration trusts the certificate; without
    // it, only a client given certificatePath() does.
    bool start(bool trustHere = true)
    {
        QProcess openssl;
        openssl.start("openssl",
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                "-keyout", "/dev/stdout", "-out", certificatePath(), "-days", "2", "-subj",
                "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
            return false;
        QSslConfiguration server = QSslConfiguration::defaultConfiguration(), client = server;
        server.setLocalCertificate(QSslCertificate::fromPath(certificatePath()).value(0));
        server.setPrivateKey(QSslKey(openssl.readAllStandardOutput(), QSsl::Ec));
        m_server.setSslConfiguration(server);
        // The client side trusts this certificate and nothing else changes: checks stay on.
        client.addCaCertificate(server.localCertificate());
        if (trustHere)
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

    QString certificatePath() const { return m_dir.filePath("cert.pem"); }

    QHash<QString, Response> routes;
    QStringList requests; // the paths asked for, in order
    QList<Request> received;

private:
    void serve(QTcpSocket *socket)
    {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            QByteArray &buffer = m_buffers[socket];
            buffer += socket->readAll();
            // Until the head and the body it announces are all in, this is parsed again.
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            const QList<QByteArray> lines = buffer.left(end).split('\n'),
                                    first = lines.first().split(' ');
            Request request{first.value(0), QString::fromLatin1(first.value(1)), {}, {}};
            for (const QByteArray &line : lines.mid(1))
                if (const qsizetype colon = line.indexOf(':'); colon > 0)
                    request.headers.insert(
                        line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
            const qsizetype length = request.headers.value("content-length").toLongLong();
            if (end < 0 || buffer.size() < end + 4 + length)
                return;
            request.body = buffer.mid(end + 4, length);
            m_buffers.remove(socket);
            requests.append(request.path);
            received.append(request);
            const Response response = routes.value(request.path, Response{404, "not found"});
            if (response.drop || response.hang) // dropped, or left waiting
                return response.drop ? socket->abort() : void();
            QTimer::singleShot(response.delayMs, socket, [socket, response] {
                socket->write("HTTP/1.1 " + QByteArray::number(response.status)
                    + " X\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                    + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n"
                    + response.headers + "\r\n");
                // In ten parts, each `trickleMs` after the one before.
                const qsizetype part = response.body.size() / 10 + 1;
                for (int i = 0; i < 10; ++i)
                    QTimer::singleShot((i + 1) * response.trickleMs, socket, [=] {
                        socket->write(response.body.mid(i * part, part));
                        if (i == 9)
                            socket->disconnectFromHost();
                    });
            });
        });
    }

    QTemporaryDir m_dir;
    QSslServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
