#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>

class GuardedServer;
class QTcpSocket;

// Watches one client connection ahead of the HTTP server's own parser, which in Qt 6.4 reads
// any body whole, however long it says it is. The guard reads the request head as it arrives
// and refuses an over-long body, a chunked body or an over-long head before the body is read,
// and closes connections that dawdle. It only peeks: the HTTP server still reads every byte
// of the requests it lets through.
class ConnectionGuard : public QObject
{
public:
    ConnectionGuard(QTcpSocket *socket, GuardedServer *server, const QString &address);
    ~ConnectionGuard() override;

private:
    enum class State { Head, Body, Awaiting, Refused };

    void onReadyRead();
    void inspectHead();
    void refuse(int status, const char *reason, const QString &message);
    void arm(int ms);

    QTcpSocket *m_socket;
    QPointer<GuardedServer> m_server;
    QString m_address;
    State m_state = State::Head;
    QByteArray m_head;
    qint64 m_bodyLeft = 0;
    QTimer m_timer;
};
