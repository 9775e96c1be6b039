#pragma once

#include "RateLimiter.h"
#include "ServiceRecords.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>

#include <optional>

class ClientConnection;
class GuardedServer;
class ServiceStore;
struct HttpRequest;

// The HTTP side of the service: the three paths the application posts to. Reports and crashes
// are gathered for one turn of the event loop and committed together, so that many clients
// share one disk flush; each is answered only after its commit. An exact repeat of a record
// (a client sending again after a lost answer) is acknowledged without a second copy.
class ServiceServer : public QObject
{
public:
    // Allowances per hour. A device normally sends a report now and then and a few crash
    // records at a start; an address may stand for a whole office behind one router.
    struct Limits
    {
        int reportsPerDevice = 20;
        int reportsPerAddress = 200;
        int crashesPerDevice = 60;
        int crashesPerAddress = 600;
        // Open connections at most, idle ones making room for new ones.
        int connections = 1024;
    };

    ServiceServer(ServiceStore *store, const Limits &limits, QObject *parent = nullptr);
    ~ServiceServer() override;

    // The port listened on (useful with port 0), or 0 with a reason. Without TLS only a
    // loopback address is accepted: plain HTTP is for a reverse proxy on the same machine.
    quint16 listen(const QHostAddress &address, quint16 port,
        const std::optional<QSslConfiguration> &tls, QString *error);

    // Commits and answers whatever is waiting; used before the process stops.
    void flush();

private:
    void dispatch(ClientConnection *client, const HttpRequest &request);
    void takeReport(ClientConnection *client, const HttpRequest &request, const QString &address);
    void takeCrash(ClientConnection *client, const HttpRequest &request, const QString &address);
    void answerPoll(ClientConnection *client, const HttpRequest &request);
    void wait(ClientConnection *client);
    QString clientAddress(const HttpRequest &request) const;
    static void respond(ClientConnection *client, int status, const QJsonObject &body,
        const QByteArray &headers = {});
    static void refuse(ClientConnection *client, int status, const QString &error);

    ServiceStore *m_store;
    int m_maxConnections;
    GuardedServer *m_listener = nullptr;
    bool m_trustForwardedFor = false;
    RateLimiter m_reportsByDevice;
    RateLimiter m_reportsByAddress;
    RateLimiter m_crashesByDevice;
    RateLimiter m_crashesByAddress;

    QList<ProblemReport> m_reports;
    QList<CrashRecord> m_crashes;
    // The clients whose records wait for the next commit; one gone meanwhile is skipped.
    QList<QPointer<ClientConnection>> m_waiting;
    bool m_flushScheduled = false;
};
