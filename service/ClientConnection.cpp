#include "ClientConnection.h"

#include "GuardedServer.h"
#include "RequestRules.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace {

constexpr qint64 maxHeadBytes = 16 * 1024;
// Paths the service does not serve take no more than a poll would.
constexpr qsizetype unknownPathBodyCap = 4 * 1024;
// From the first byte of a request to the end of its head, and to the end of its body: a client
// that trickles is cut off.
constexpr int headMs = 10 * 1000;
constexpr int requestMs = 30 * 1000;
// Between requests on a kept-alive connection, for the TLS handshake, and for an answer to leave.
constexpr int idleMs = 30 * 1000;
// After a refusal, time for the answer to leave before the connection is dropped.
constexpr int refusalLingerMs = 2 * 1000;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return status >= 500 ? "Service Unavailable" : "Error";
    }
}

bool hasToken(const QByteArray &value, QByteArrayView token)
{
    for (const QByteArray &part : value.split(','))
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

ClientConnection::ClientConnection(
    QTcpSocket *socket, GuardedServer *server, const Handler &handler)
    : QObject(socket)
    , m_socket(socket)
    , m_server(server)
    , m_handler(handler)
{
    // The socket reads from the system no more than the request in hand may take.
    socket->setReadBufferSize(maxHeadBytes);
    connect(socket, &QIODevice::readyRead, this, &ClientConnection::onReadyRead);
    connect(socket, &QIODevice::bytesWritten, this, [this] {
        if (m_state == State::Sending && m_socket->bytesToWrite() == 0)
            nextRequest();
    });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, socket, &QAbstractSocket::abort);
    startWaiting(idleMs);
}

ClientConnection::~ClientConnection()
{
    if (m_server)
        m_server->release(this);
}

void ClientConnection::close()
{
    m_socket->abort();
}

void ClientConnection::startWaiting(int ms)
{
    m_waitingSince = QDateTime::currentMSecsSinceEpoch();
    m_timer.start(ms);
}

void ClientConnection::onReadyRead()
{
    if (m_state == State::Closing) {
        m_socket->readAll();
        return;
    }
    if (m_state == State::Head)
        readHead();
    if (m_state == State::Body && m_socket->bytesAvailable() >= m_headBytes + m_bodyBytes)
        handOver();
}

void ClientConnection::readHead()
{
    // Blank lines before a request line are allowed between requests.
    while (m_socket->peek(2) == "\r\n")
        m_socket->skip(2);
    const QByteArray data = m_socket->peek(maxHeadBytes);
    if (data.isEmpty())
        return;
    if (m_headStarted == 0) {
        m_headStarted = QDateTime::currentMSecsSinceEpoch();
        startWaiting(headMs);
    }
    const qsizetype end = data.indexOf("\r\n\r\n");
    if (end < 0) {
        if (data.size() >= maxHeadBytes)
            refuse(431, "request head too large");
        return;
    }
    const QList<QByteArray> lines = data.left(end).split('\n');
    const QList<QByteArray> requestLine = lines[0].trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/")) {
        refuse(400, "not an HTTP request");
        return;
    }
    const QByteArray version = requestLine[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        refuse(505, "HTTP/1.1 only");
        return;
    }
    m_request = HttpRequest{};
    m_request.method = requestLine[0];
    const QByteArray &target = requestLine[1];
    m_request.path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    m_request.peer = m_socket->peerAddress();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0) {
            refuse(400, "unreadable header line");
            return;
        }
        m_request.headers.append(
            {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    const QByteArray connection = m_request.header("connection");
    m_closeAfter = version == "HTTP/1.0" ? !hasToken(connection, "keep-alive")
                                         : hasToken(connection, "close");

    const QByteArray lengthText = m_request.header("content-length");
    const bool bodyless = m_request.method == "GET" || m_request.method == "HEAD";
    if (!m_request.header("transfer-encoding").isEmpty() || (lengthText.isEmpty() && !bodyless)) {
        refuse(411, "send the body with a Content-Length");
        return;
    }
    bool ok = lengthText.isEmpty();
    const qint64 length = ok ? 0 : lengthText.toLongLong(&ok);
    if (!ok || length < 0) {
        refuse(400, "unreadable Content-Length");
        return;
    }
    qsizetype cap = RequestRules::bodyCap(m_request.path);
    if (cap == 0)
        cap = unknownPathBodyCap;
    if (length > cap) {
        refuse(413, "body over " + QByteArray::number(cap) + " bytes for " + m_request.path);
        return;
    }
    m_headBytes = end + 4;
    m_bodyBytes = length;
    m_state = State::Body;
    m_socket->setReadBufferSize(m_headBytes + m_bodyBytes);
    m_timer.start(
        int(qMax<qint64>(0, m_headStarted + requestMs - QDateTime::currentMSecsSinceEpoch())));
    if (m_socket->bytesAvailable() < m_headBytes + m_bodyBytes
        && hasToken(m_request.header("expect"), "100-continue"))
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
}

void ClientConnection::handOver()
{
    m_request.body = m_socket->peek(m_headBytes + m_bodyBytes).mid(m_headBytes);
    m_state = State::Answering;
    m_timer.stop();
    // The request stays in the socket's buffer, which is full: nothing more is read, not even
    // the end of the stream, until it is answered.
    m_handler(this, m_request);
}

void ClientConnection::answer(int status, const QByteArray &json, const QByteArray &headers)
{
    if (m_state != State::Answering)
        return;
    m_socket->skip(m_headBytes + m_bodyBytes);
    write(status, json, headers, m_closeAfter);
    if (m_state == State::Sending && m_socket->bytesToWrite() == 0)
        nextRequest();
}

void ClientConnection::nextRequest()
{
    m_state = State::Head;
    m_headStarted = 0;
    m_socket->setReadBufferSize(maxHeadBytes);
    startWaiting(idleMs);
    // Requests sent ahead are already waiting in the buffer; they get no new signal.
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this, [this] { onReadyRead(); }, Qt::QueuedConnection);
}

void ClientConnection::refuse(int status, const QByteArray &message)
{
    write(status,
        QJsonDocument(QJsonObject{{QStringLiteral("ok"), false},
                          {QStringLiteral("error"), QString::fromLatin1(message)}})
            .toJson(QJsonDocument::Compact),
        {}, true);
    // Whatever else arrives is read and dropped, so that closing does not reset the connection
    // before the answer is read.
    m_socket->setReadBufferSize(0);
    m_socket->readAll();
    m_timer.start(refusalLingerMs);
}

void ClientConnection::write(
    int status, const QByteArray &json, const QByteArray &headers, bool close)
{
    m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size())
        + "\r\n" + headers + (close ? "Connection: close\r\n" : "") + "\r\n" + json);
    m_socket->flush();
    if (close) {
        m_state = State::Closing;
        m_socket->disconnectFromHost();
    } else {
        m_state = State::Sending;
    }
    startWaiting(idleMs);
}
