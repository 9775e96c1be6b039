#include "GuardedServer.h"

#include "ConnectionGuard.h"

#include <QSslSocket>

#include <unistd.h>

namespace {

constexpr int maxConnections = 1024;
// Loopback is not limited per address: a reverse proxy in front brings every client from there.
constexpr int maxPerAddress = 64;

} // namespace

GuardedServer::GuardedServer(QObject *parent)
    : QTcpServer(parent)
{
}

void GuardedServer::release(const QString &address)
{
    --m_open;
    auto it = m_perAddress.find(address);
    if (it != m_perAddress.end() && --*it <= 0)
        m_perAddress.erase(it);
}

void GuardedServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    const QHostAddress peer = socket->peerAddress();
    const QString address = peer.toString();
    if (m_open >= maxConnections
        || (!peer.isLoopback() && m_perAddress.value(address) >= maxPerAddress)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++m_open;
    ++m_perAddress[address];
    new ConnectionGuard(socket, this, address);

    if (!m_tls) {
        addPendingConnection(socket);
        return;
    }
    // The HTTP server gets the socket only once the handshake is done; until then it is ours,
    // and a failed or abandoned handshake (the guard's timer) ends here.
    auto *tls = static_cast<QSslSocket *>(socket);
    tls->setSslConfiguration(*m_tls);
    auto handedOver = std::make_shared<bool>(false);
    connect(tls, &QSslSocket::encrypted, this, [this, tls, handedOver] {
        *handedOver = true;
        addPendingConnection(tls);
    });
    connect(tls, &QAbstractSocket::disconnected, this, [tls, handedOver] {
        if (!*handedOver)
            tls->deleteLater();
    });
    connect(tls, &QSslSocket::sslErrors, tls, [tls] { tls->abort(); });
    tls->startServerEncryption();
}
