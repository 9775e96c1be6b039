#pragma once

#include "RateLimiter.h"
#include "ServiceRecords.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponder>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslConfiguration>

#include <optional>
#include <vector>

class GuardedServer;
class ServiceStore;

// The HTTP side of the service: the three paths the application posts to. Reports and crashes
// are gathered for one turn of the event loop and committed together, so that many clients
// share one disk flush; each is answered only after its commit.
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
    void dispatch(const QHttpServerRequest &request, QHttpServerResponder &&responder);
    void takeReport(const QHttpServerRequest &request, QHttpServerResponder &&responder,
        const QString &address);
    void takeCrash(const QHttpServerRequest &request, QHttpServerResponder &&responder,
        const QString &address);
    void answerPoll(const QHttpServerRequest &request, QHttpServerResponder &&responder);
    void scheduleFlush();
    QString clientAddress(const QHttpServerRequest &request) const;
    static void respond(QHttpServerResponder &responder, int status, const QJsonObject &body);
    static void refuse(QHttpServerResponder &responder, int status, const QString &error);

    ServiceStore *m_store;
    QHttpServer m_http;
    GuardedServer *m_listener = nullptr;
    bool m_trustForwardedFor = false;
    RateLimiter m_reportsByDevice;
    RateLimiter m_reportsByAddress;
    RateLimiter m_crashesByDevice;
    RateLimiter m_crashesByAddress;

    QList<ProblemReport> m_reports;
    QList<CrashRecord> m_crashes;
    std::vector<QHttpServerResponder> m_waiting;
    bool m_flushScheduled = false;
};
