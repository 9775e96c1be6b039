#include "ServiceServer.h"

#include "GuardedServer.h"
#include "RequestRules.h"
#include "ServiceStore.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QTimer>

#include <cstdio>

namespace {

// A commit covers at most this many records, so that one slow flush never holds many answers.
constexpr qsizetype maxBatch = 512;

using Method = QHttpServerRequest::Method;

void logLine(const QString &line)
{
    std::fprintf(stderr, "orvanetavo-service: %s\n", qUtf8Printable(line));
}

} // namespace

ServiceServer::ServiceServer(ServiceStore *store, const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_reportsByDevice(limits.reportsPerDevice)
    , m_reportsByAddress(limits.reportsPerAddress)
    , m_crashesByDevice(limits.crashesPerDevice)
    , m_crashesByAddress(limits.crashesPerAddress)
{
    // No routes: every request comes here, so that paths match exactly and every refusal has
    // the same JSON form.
    m_http.setMissingHandler(
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            dispatch(request, std::move(responder));
        });
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
    auto *listener = new GuardedServer(&m_http);
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
    m_http.bind(listener);
    m_listener = listener;
    // Behind a reverse proxy every client arrives from loopback; the proxy names the real one.
    m_trustForwardedFor = !tls;
    return listener->serverPort();
}

QString ServiceServer::clientAddress(const QHttpServerRequest &request) const
{
    const QHostAddress peer = request.remoteAddress();
    if (m_trustForwardedFor && peer.isLoopback()) {
        const auto headers = request.headers();
        for (const auto &[name, value] : headers) {
            if (name.compare("x-forwarded-for", Qt::CaseInsensitive) != 0)
                continue;
            // The proxy appends the address it saw; earlier entries are the client's own say.
            const QHostAddress forwarded(QString::fromLatin1(value.split(',').last().trimmed()));
            if (!forwarded.isNull())
                return forwarded.toString();
        }
    }
    return peer.toString();
}

void ServiceServer::dispatch(const QHttpServerRequest &request, QHttpServerResponder &&responder)
{
    const QByteArray path = request.url().path().toUtf8();
    const qsizetype cap = RequestRules::bodyCap(path);
    if (cap == 0) {
        refuse(responder, 404, QStringLiteral("no such path"));
        return;
    }
    if (request.method() != Method::Post) {
        const QByteArray body
            = QJsonDocument(QJsonObject{{QStringLiteral("ok"), false},
                                {QStringLiteral("error"), QStringLiteral("use POST")}})
                  .toJson(QJsonDocument::Compact);
        responder.write(body, {{"Content-Type", "application/json"}, {"Allow", "POST"}},
            QHttpServerResponder::StatusCode::MethodNotAllowed);
        return;
    }
    // The connection guard has already refused longer bodies; this holds without it too.
    if (request.body().size() > cap) {
        refuse(responder, 413, QStringLiteral("body over %1 bytes").arg(cap));
        return;
    }
    const QString address = clientAddress(request);
    if (path == RequestRules::reportPath)
        takeReport(request, std::move(responder), address);
    else if (path == RequestRules::crashPath)
        takeCrash(request, std::move(responder), address);
    else
        answerPoll(request, std::move(responder));
}

void ServiceServer::takeReport(
    const QHttpServerRequest &request, QHttpServerResponder &&responder, const QString &address)
{
    ProblemReport report;
    QString error;
    if (!RequestRules::parseReport(request.body(), &report, &error)) {
        refuse(responder, 400, error);
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!m_reportsByAddress.take(address, now) || !m_reportsByDevice.take(report.device, now)) {
        refuse(responder, 429, QStringLiteral("too many reports; try again later"));
        return;
    }
    report.receivedAt = now;
    report.address = address;
    m_reports.append(report);
    m_waiting.push_back(std::move(responder));
    scheduleFlush();
}

void ServiceServer::takeCrash(
    const QHttpServerRequest &request, QHttpServerResponder &&responder, const QString &address)
{
    CrashRecord crash;
    QString error;
    if (!RequestRules::parseCrash(request.body(), &crash, &error)) {
        refuse(responder, 400, error);
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!m_crashesByAddress.take(address, now) || !m_crashesByDevice.take(crash.device, now)) {
        refuse(responder, 429, QStringLiteral("too many crash records; try again later"));
        return;
    }
    crash.receivedAt = now;
    crash.address = address;
    m_crashes.append(crash);
    m_waiting.push_back(std::move(responder));
    scheduleFlush();
}

void ServiceServer::answerPoll(const QHttpServerRequest &request, QHttpServerResponder &&responder)
{
    QString device, error;
    if (!RequestRules::parseStatus(request.body(), &device, &error)) {
        refuse(responder, 400, error);
        return;
    }
    PollAnswer answer;
    if (!m_store->poll(device, QDateTime::currentMSecsSinceEpoch(), &answer, &error)) {
        logLine(QStringLiteral("poll failed: %1").arg(error));
        // Still the form the application reads, saying "nothing for you".
        respond(responder, 503,
            {{QStringLiteral("mid"), 0}, {QStringLiteral("msg"), QString()},
                {QStringLiteral("error"), QStringLiteral("store unavailable")}});
        return;
    }
    respond(
        responder, 200, {{QStringLiteral("mid"), answer.mid}, {QStringLiteral("msg"), answer.msg}});
}

void ServiceServer::scheduleFlush()
{
    if (qsizetype(m_waiting.size()) >= maxBatch) {
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
    if (m_waiting.empty())
        return;
    QString error;
    const bool stored = m_store->append(m_reports, m_crashes, &error);
    if (!stored)
        logLine(QStringLiteral("could not store %1 records: %2")
                    .arg(m_reports.size() + m_crashes.size())
                    .arg(error));
    m_reports.clear();
    m_crashes.clear();
    std::vector<QHttpServerResponder> waiting;
    waiting.swap(m_waiting);
    for (QHttpServerResponder &responder : waiting) {
        if (stored)
            respond(responder, 200, {{QStringLiteral("ok"), true}});
        else
            refuse(responder, 503, QStringLiteral("not stored; try again later"));
    }
}

void ServiceServer::respond(QHttpServerResponder &responder, int status, const QJsonObject &body)
{
    responder.write(QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json",
        static_cast<QHttpServerResponder::StatusCode>(status));
}

void ServiceServer::refuse(QHttpServerResponder &responder, int status, const QString &error)
{
    respond(responder, status, {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}});
}
