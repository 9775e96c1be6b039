#pragma once

#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QSslSocket>

#include <sys/socket.h>

// A blocking HTTP/1.1 client on one connection to the service on 127.0.0.1, for tests that
// control every byte (a head without its body, requests sent ahead, raw garbage).
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
    {
        if (trusted.isNull()) {
            m_socket.connectToHost(QHostAddress::LocalHost, port);
            return;
        }
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates({trusted});
        m_socket.setSslConfiguration(config);
        m_socket.connectToHostEncrypted("127.0.0.1", port);
    }

    bool open()
    {
        return m_socket.isEncrypted() || m_socket.waitForEncrypted(5000)
            || (m_socket.mode() == QSslSocket::UnencryptedMode && m_socket.waitForConnected(5000));
    }

    HttpReply exchange(const QByteArray &bytes, int timeoutMs = 10000)
    {
        return open() && write(bytes) ? read(timeoutMs) : HttpReply{};
    }

    bool write(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        while (m_socket.bytesToWrite() > 0) {
            if (!m_socket.waitForBytesWritten(5000))
                return false;
        }
        return true;
    }

    // The client sends nothing more but still reads.
    void shutdownWrite() { ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR); }

    // One answer; waits at most timeoutMs.
    HttpReply read(int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        qsizetype end, length = 0;
        // What already arrived counts first, so that a time-out of 0 still reads it.
        while ((end = (m_buffer += m_socket.readAll()).indexOf("\r\n\r\n")) < 0
            || m_buffer.size() < end + 4 + (length = contentLength(m_buffer.left(end)))) {
            if (!m_socket.waitForReadyRead(qMax<qint64>(1, timeoutMs - clock.elapsed())))
                return {};
        }
        HttpReply reply{
            m_buffer.mid(9, 3).toInt(), m_buffer.left(end), m_buffer.mid(end + 4, length)};
        m_buffer.remove(0, end + 4 + length);
        return reply;
    }

    // True when the service closes the connection within the time.
    bool waitForClose(int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs)
            m_socket.waitForReadyRead(qMax<qint64>(1, timeoutMs - clock.elapsed()));
        return m_socket.state() != QAbstractSocket::ConnectedState;
    }

private:
    static qsizetype contentLength(const QByteArray &head)
    {
        const qsizetype at = head.toLower().indexOf("\ncontent-length:");
        return at < 0
            ? 0
            : head.mid(at + 16, head.indexOf('\r', at + 1) - at - 16).trimmed().toLongLong();
    }

    QSslSocket m_socket;
    QByteArray m_buffer;
};
