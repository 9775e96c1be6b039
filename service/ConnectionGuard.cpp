#include "ConnectionGuard.h"

#include "GuardedServer.h"
#include "RequestRules.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace {

constexpr qsizetype maxHeadBytes = 16 * 1024;
// Paths the service does not serve take no more than a poll would.
constexpr qsizetype unknownPathBodyCap = 4 * 1024;
// From the first byte of a request to its last; a client that trickles is cut off.
constexpr int requestMs = 30 * 1000;
// Between requests on a kept-alive connection, and for the TLS handshake.
constexpr int idleMs = 60 * 1000;
// After a refusal, time for the answer to leave before the connection is dropped.
constexpr int refusalLingerMs = 2 * 1000;

QByteArray headerValue(const QList<QByteArray> &lines, QByteArrayView name)
{
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

} // namespace

ConnectionGuard::ConnectionGuard(QTcpSocket *socket, GuardedServer *server, const QString &address)
    : QObject(socket)
    , m_socket(socket)
    , m_server(server)
    , m_address(address)
{
    // Connected before the HTTP server connects its own reader, so this runs first.
    connect(socket, &QIODevice::readyRead, this, &ConnectionGuard::onReadyRead);
    // Once the answer has left, the next bytes start a new request.
    connect(socket, &QIODevice::bytesWritten, this, [this] {
        if (m_state == State::Awaiting) {
            m_state = State::Head;
            arm(idleMs);
        }
    });
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, socket, &QAbstractSocket::abort);
    arm(idleMs);
}

ConnectionGuard::~ConnectionGuard()
{
    if (m_server)
        m_server->release(m_address);
}

void ConnectionGuard::arm(int ms)
{
    m_timer.start(ms);
}

void ConnectionGuard::onReadyRead()
{
    if (m_state == State::Refused) {
        m_socket->readAll();
        return;
    }
    // The HTTP server has read everything up to here, so what is available now is new.
    const QByteArray fresh = m_socket->peek(m_socket->bytesAvailable());
    if (fresh.isEmpty())
        return;
    if (m_state == State::Awaiting) {
        // A second request before the first is answered: the HTTP server cannot keep them
        // apart, and the application never does this.
        m_socket->abort();
        return;
    }
    if (m_state == State::Body) {
        m_bodyLeft -= fresh.size();
        if (m_bodyLeft < 0) {
            m_socket->abort();
        } else if (m_bodyLeft == 0) {
            m_state = State::Awaiting;
            m_timer.stop();
        }
        return;
    }
    if (m_head.isEmpty())
        arm(requestMs);
    m_head += fresh;
    inspectHead();
}

void ConnectionGuard::inspectHead()
{
    // Blank lines before a request line are allowed between requests.
    while (m_head.startsWith("\r\n"))
        m_head.remove(0, 2);
    const qsizetype end = m_head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_head.size() > maxHeadBytes)
            refuse(
                431, "Request Header Fields Too Large", QStringLiteral("request head too large"));
        return;
    }
    if (end > maxHeadBytes) {
        refuse(431, "Request Header Fields Too Large", QStringLiteral("request head too large"));
        return;
    }
    const QList<QByteArray> lines = m_head.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const QByteArray target = requestLine.value(1);
    const QByteArray path
        = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    qsizetype cap = RequestRules::bodyCap(path);
    if (cap == 0)
        cap = unknownPathBodyCap;

    if (!headerValue(lines, "transfer-encoding").isEmpty()) {
        refuse(411, "Length Required", QStringLiteral("send the body with a Content-Length"));
        return;
    }
    qint64 length = 0;
    const QByteArray lengthText = headerValue(lines, "content-length");
    if (!lengthText.isEmpty()) {
        bool ok = false;
        length = lengthText.toLongLong(&ok);
        if (!ok || length < 0) {
            refuse(400, "Bad Request", QStringLiteral("unreadable Content-Length"));
            return;
        }
    }
    if (length > cap) {
        refuse(413, "Payload Too Large",
            QStringLiteral("body over %1 bytes for %2").arg(cap).arg(QString::fromLatin1(path)));
        return;
    }
    if (length > 0
        && headerValue(lines, "expect").compare("100-continue", Qt::CaseInsensitive) == 0)
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");

    const qint64 bodySoFar = m_head.size() - (end + 4);
    m_head.clear();
    m_bodyLeft = length - bodySoFar;
    if (m_bodyLeft < 0) {
        m_socket->abort(); // bytes past the body: a pipelined request
    } else if (m_bodyLeft == 0) {
        m_state = State::Awaiting;
        m_timer.stop();
    } else {
        m_state = State::Body;
    }
}

void ConnectionGuard::refuse(int status, const char *reason, const QString &message)
{
    m_state = State::Refused;
    // Whatever arrived stays away from the HTTP server's parser.
    m_socket->readAll();
    const QByteArray body = QJsonDocument(
        QJsonObject{{QStringLiteral("ok"), false},
            {QStringLiteral("error"),
                message}}).toJson(QJsonDocument::Compact);
    m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body);
    m_socket->disconnectFromHost();
    arm(refusalLingerMs);
}
