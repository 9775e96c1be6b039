#pragma once

#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#include <memory>

#include <sys/socket.h>

// A blocking HTTP/1.1 client on one kept-alive connection to the service on 127.0.0.1, for
// tests and benchmarks that must control every byte (a head without its body, raw garbage).
struct HttpReply
{
    int status = 0; // 0: no answer (connection closed or timed out)
    QByteArray head;
    QByteArray body;
};

class HttpConnection
{
public:
    // With a certificate the connection is TLS and trusts that certificate only.
    explicit HttpConnection(quint16 port, const QSslCertificate &trusted = QSslCertificate())
        : m_port(port)
        , m_trusted(trusted)
    {
    }

    bool open()
    {
        if (m_trusted.isNull()) {
            m_socket = std::make_unique<QTcpSocket>();
            m_socket->connectToHost(QHostAddress::LocalHost, m_port);
            return m_socket->waitForConnected(5000);
        }
        auto tls = std::make_unique<QSslSocket>();
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates({m_trusted});
        tls->setSslConfiguration(config);
        tls->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);
        const bool ok = tls->waitForEncrypted(5000);
        m_socket = std::move(tls);
        return ok;
    }

    // The client sends nothing more but still reads.
    void shutdownWrite() { ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR); }

    bool isOpen() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }

    static QByteArray request(const QByteArray &method, const QByteArray &path,
        const QByteArray &body, const QByteArray &extraHeaders = {})
    {
        return method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
    }

    HttpReply post(const QByteArray &path, const QByteArray &body,
        const QByteArray &extraHeaders = {}, const QByteArray &method = "POST")
    {
        return exchange(request(method, path, body, extraHeaders));
    }

    HttpReply exchange(const QByteArray &bytes, int timeoutMs = 10000)
    {
        if ((!isOpen() && !open()) || !write(bytes))
            return {};
        return read(timeoutMs);
    }

    bool write(const QByteArray &bytes)
    {
        m_socket->write(bytes);
        while (m_socket->bytesToWrite() > 0) {
            if (!m_socket->waitForBytesWritten(5000))
                return false;
        }
        return true;
    }

    // One answer; waits at most timeoutMs.
    HttpReply read(int timeoutMs = 10000)
    {
        HttpReply reply;
        QElapsedTimer clock;
        clock.start();
        const auto more = [&] {
            if (m_socket->bytesAvailable() > 0 || m_socket->waitForReadyRead(50)) {
                m_buffer += m_socket->readAll();
                return true;
            }
            return m_socket->state() == QAbstractSocket::ConnectedState
                && clock.elapsed() < timeoutMs;
        };
        qsizetype end;
        while ((end = m_buffer.indexOf("\r\n\r\n")) < 0) {
            if (!more())
                return reply;
        }
        reply.head = m_buffer.left(end);
        reply.status = reply.head.mid(9, 3).toInt();
        qsizetype length = 0;
        for (const QByteArray &line : reply.head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        while (m_buffer.size() < end + 4 + length) {
            if (!more())
                return HttpReply{};
        }
        reply.body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        // An interim 100 Continue is followed by the real answer.
        if (reply.status == 100)
            return read(timeoutMs);
        return reply;
    }

    // True when the server closes the connection within the time.
    bool waitForClose(int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                return true;
            m_socket->waitForReadyRead(50);
            m_buffer += m_socket->readAll();
        }
        return m_socket->state() != QAbstractSocket::ConnectedState;
    }

private:
    quint16 m_port;
    QSslCertificate m_trusted;
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_buffer;
};
