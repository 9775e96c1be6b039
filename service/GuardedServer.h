#pragma once

#include <QHash>
#include <QSslConfiguration>
#include <QTcpServer>

#include <optional>

// The listening socket of the service, plain or TLS. Every accepted connection gets a
// ConnectionGuard before the HTTP server sees it, and connections are counted, in all and per
// client address, so that one client cannot take every slot.
class GuardedServer : public QTcpServer
{
public:
    explicit GuardedServer(QObject *parent = nullptr);

    // From now on connections are TLS with this certificate and key.
    void setTls(const QSslConfiguration &configuration) { m_tls = configuration; }

    // The guard of each connection reports here when its socket goes away.
    void release(const QString &address);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::optional<QSslConfiguration> m_tls;
    int m_open = 0;
    QHash<QString, int> m_perAddress;
};
