#include "ServiceServer.h"

#include "GuardedServer.h"
#include "HttpRequest.h"
#include "RequestRules.h"
#include "ServiceStore.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>

#include <cstdio>

namespace {

// A commit covers at most this many records, so that one slow flush never holds many answers.
constexpr qsizetype maxBatch = 512;

void logLine(const QString &line)
{
    std::fprintf(stderr, "orvanetavo-service: %s\n", qUtf8Printable(line));
}

} // namespace

ServiceServer::ServiceServer(ServiceStore *store, const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_maxConnections(limits.connections)
    , m_reportsByDevice(limits.reportsPerDevice)
    , m_reportsByAddress(limits.reportsPerAddress)
    , m_crashesByDevice(limits.crashesPerDevice)
    , m_crashesByAddress(limits.crashesPerAddress)
{
}

ServiceServer::~ServiceServer()
{
    flush();
}

quint16 ServiceServer::listen(const QHostAddress &address, quint16 port,
    const std::optional<QSslConfiguration> &tls, QString *error)
{
    if (!tls && !address.isLoopback()) {
        *error = QStringLiteral("plain HTTP only on a loopback address; give --cert and --key "
                                "to listen on %1")
                     .arg(address.toString());
        return 0;
    }
    auto *listener = new GuardedServer(
        [this](ClientConnection *client, const HttpRequest &request) { dispatch(client, request); },
        m_maxConnections, this);
    if (tls)
        listener->setTls(*tls);
    if (!listener->listen(address, port)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(address.toString())
                     .arg(port)
                     .arg(listener->errorString());
        delete listener;
        return 0;
    }
    m_listener = listener;
    // Behind a reverse proxy every client arrives from loopback; the proxy names the real one.
    m_trustForwardedFor = !tls;
    return listener->serverPort();
}

QString ServiceServer::clientAddress(const HttpRequest &request) const
{
    const QByteArray forwardedFor = request.header("x-forwarded-for");
    if (m_trustForwardedFor && request.peer.isLoopback() && !forwardedFor.isEmpty()) {
        // The proxy appends the address it saw; earlier entries are the client's own say.
        const QHostAddress forwarded(QString::fromLatin1(forwardedFor.split(',').last().trimmed()));
        if (!forwarded.isNull())
            return forwarded.toString();
    }
    return request.peer.toString();
}

// Bodies over their path's cap never get here: the connection refused them on their head.
void ServiceServer::dispatch(ClientConnection *client, const HttpRequest &request)
{
    if (RequestRules::bodyCap(request.path) == 0) {
        refuse(client, 404, QStringLiteral("no such path"));
        return;
    }
    if (request.method != "POST") {
        respond(client, 405,
            {{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("use POST")}},
            "Allow: POST\r\n");
        return;
    }
    const QString address = clientAddress(request);
    if (request.path == RequestRules::reportPath)
        takeReport(client, request, address);
    else if (request.path == RequestRules::crashPath)
        takeCrash(client, request, address);
    else
        answerPoll(client, request);
}

void ServiceServer::takeReport(
    ClientConnection *client, const HttpRequest &request, const QString &address)
{
    ProblemReport report;
    QString error;
    if (!RequestRules::parseReport(request.body, &report, &error)) {
        refuse(client, 400, error);
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!m_reportsByAddress.take(address, now) || !m_reportsByDevice.take(report.device, now)) {
        refuse(client, 429, QStringLiteral("too many reports; try again later"));
        return;
    }
    report.receivedAt = now;
    report.address = address;
    m_reports.append(report);
    wait(client);
}

void ServiceServer::takeCrash(
    ClientConnection *client, const HttpRequest &request, const QString &address)
{
    CrashRecord crash;
    QString error;
    if (!RequestRules::parseCrash(request.body, &crash, &error)) {
        refuse(client, 400, error);
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!m_crashesByAddress.take(address, now) || !m_crashesByDevice.take(crash.device, now)) {
        refuse(client, 429, QStringLiteral("too many crash records; try again later"));
        return;
    }
    crash.receivedAt = now;
    crash.address = address;
    m_crashes.append(crash);
    wait(client);
}

void ServiceServer::answerPoll(ClientConnection *client, const HttpRequest &request)
{
    QString device, error;
    if (!RequestRules::parseStatus(request.body, &device, &error)) {
        refuse(client, 400, error);
        return;
    }
    PollAnswer answer;
    if (!m_store->poll(device, QDateTime::currentMSecsSinceEpoch(), &answer, &error)) {
        logLine(QStringLiteral("poll failed: %1").arg(error));
        // Still the form the application reads, saying "nothing for you".
        respond(client, 503,
            {{QStringLiteral("mid"), 0}, {QStringLiteral("msg"), QString()},
                {QStringLiteral("error"), QStringLiteral("store unavailable")}});
        return;
    }
    respond(
        client, 200, {{QStringLiteral("mid"), answer.mid}, {QStringLiteral("msg"), answer.msg}});
}

void ServiceServer::wait(ClientConnection *client)
{
    m_waiting.append(client);
    if (m_waiting.size() >= maxBatch) {
        flush();
        return;
    }
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    // Runs after the requests already waiting in this turn of the event loop.
    QTimer::singleShot(0, this, &ServiceServer::flush);
}

void ServiceServer::flush()
{
    m_flushScheduled = false;
    if (m_waiting.isEmpty())
        return;
    QString error;
    const bool stored = m_store->append(m_reports, m_crashes, &error);
    if (!stored)
        logLine(QStringLiteral("could not store %1 records: %2")
                    .arg(m_reports.size() + m_crashes.size())
                    .arg(error));
    m_reports.clear();
    m_crashes.clear();
    const QList<QPointer<ClientConnection>> waiting = std::exchange(m_waiting, {});
    for (ClientConnection *client : waiting) {
        if (!client)
            continue;
        if (stored)
            respond(client, 200, {{QStringLiteral("ok"), true}});
        else
            refuse(client, 503, QStringLiteral("not stored; try again later"));
    }
}

void ServiceServer::respond(
    ClientConnection *client, int status, const QJsonObject &body, const QByteArray &headers)
{
    client->answer(status, QJsonDocument(body).toJson(QJsonDocument::Compact), headers);
}

void ServiceServer::refuse(ClientConnection *client, int status, const QString &error)
{
    respond(client, status, {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}});
}
