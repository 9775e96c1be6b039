#include "GuardedServer.h"

#include <QSslSocket>

#include <unistd.h>

namespace {

// Loopback is not limited per address: a reverse proxy in front brings every client from there.
constexpr int maxPerAddress = 64;

} // namespace

GuardedServer::GuardedServer(
    const ClientConnection::Handler &handler, int maxConnections, QObject *parent)
    : QTcpServer(parent)
    , m_handler(handler)
    , m_maxConnections(maxConnections)
{
}

void GuardedServer::release(ClientConnection *connection)
{
    m_open.removeOne(connection);
    const QString address = m_addressOf.take(connection);
    auto it = m_perAddress.find(address);
    if (it != m_perAddress.end() && --*it <= 0)
        m_perAddress.erase(it);
}

bool GuardedServer::makeRoom()
{
    ClientConnection *oldest = nullptr;
    for (ClientConnection *c : std::as_const(m_open)) {
        if (c->isEvictable() && (!oldest || c->waitingSince() < oldest->waitingSince()))
            oldest = c;
    }
    if (!oldest)
        return false;
    // Its slot is freed when its socket is deleted, a moment later.
    release(oldest);
    oldest->close();
    return true;
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
    if ((!peer.isLoopback() && m_perAddress.value(address) >= maxPerAddress)
        || (m_open.size() >= m_maxConnections && !makeRoom())) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto *connection = new ClientConnection(socket, this, m_handler);
    m_open.append(connection);
    m_addressOf.insert(connection, address);
    ++m_perAddress[address];

    if (!m_tls)
        return;
    // Until the handshake is done nothing is read; a failed or abandoned handshake (the
    // connection's idle timer) ends the connection.
    auto *tls = static_cast<QSslSocket *>(socket);
    tls->setSslConfiguration(*m_tls);
    connect(tls, &QSslSocket::sslErrors, tls, [tls] { tls->abort(); });
    tls->startServerEncryption();
}
