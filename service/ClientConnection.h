#pragma once

#include "HttpRequest.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class GuardedServer;
class QTcpSocket;

// One client's connection, speaking the little HTTP/1.1 the application needs: bodies with a
// Content-Length, one request at a time. Each request is read whole, within its path's cap and
// its deadlines, then handed over; the next one is not read before this one is answered. Until
// then the socket reads nothing more, so a client that has closed its sending side (a FIN after
// the request) still gets its answer, and requests sent ahead are answered in turn.
class ClientConnection : public QObject
{
public:
    using Handler = std::function<void(ClientConnection *, const HttpRequest &)>;

    ClientConnection(QTcpSocket *socket, GuardedServer *server, const Handler &handler);
    ~ClientConnection() override;

    // The answer to the request handed over last. `headers` are extra lines, each ending "\r\n".
    void answer(int status, const QByteArray &json, const QByteArray &headers = {});

    // Waiting for the client (idle, or reading a request), not for the service: such a
    // connection may be closed to make room for a new one, the longest waiting first.
    bool isEvictable() const { return m_state == State::Head || m_state == State::Body; }
    qint64 waitingSince() const { return m_waitingSince; }
    void close();

private:
    enum class State { Head, Body, Answering, Sending, Closing };

    void onReadyRead();
    void readHead();
    void handOver();
    void nextRequest();
    void refuse(int status, const QByteArray &message);
    void write(int status, const QByteArray &json, const QByteArray &headers, bool close);
    void startWaiting(int ms);

    QTcpSocket *m_socket;
    QPointer<GuardedServer> m_server;
    Handler m_handler;
    State m_state = State::Head;
    HttpRequest m_request;
    qint64 m_headBytes = 0;
    qint64 m_bodyBytes = 0;
    bool m_closeAfter = false;
    qint64 m_headStarted = 0;
    qint64 m_waitingSince = 0;
    QTimer m_timer;
};
