#pragma once

#include "ClientConnection.h"

#include <QHash>
#include <QList>
#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

// The listening socket of the service, plain or TLS. Every accepted connection becomes a
// ClientConnection that hands its requests to the handler. Connections are counted, in all and
// per client address, so that one client cannot take every slot; when all are taken, the
// connection that has waited longest for its client makes room for the new one.
class GuardedServer : public QTcpServer
{
public:
    GuardedServer(
        const ClientConnection::Handler &handler, int maxConnections, QObject *parent = nullptr);

    // From now on connections are TLS with this certificate and key.
    void setTls(const QSslConfiguration &configuration) { m_tls = configuration; }

    // Each connection reports here when it goes away.
    void release(ClientConnection *connection);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    bool makeRoom();

    ClientConnection::Handler m_handler;
    int m_maxConnections;
    std::optional<QSslConfiguration> m_tls;
    QList<ClientConnection *> m_open;
    QHash<ClientConnection *, QString> m_addressOf;
    QHash<QString, int> m_perAddress;
};
