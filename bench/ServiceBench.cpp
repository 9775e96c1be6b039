// The makers' service under load on loopback: polls and reports per second, poll latency,
// resident memory when idle. The server runs pinned to one core; the load comes from this
// process over kept-alive plain HTTP connections (as from a reverse proxy), bounded in count
// and in time.
#include "Budget.h"
#include "PgCluster.h"
#include "ServiceStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sched.h>

namespace {

constexpr int devices = 2000;

struct Load
{
    int done = 0;
    int failed = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;

    double perSecond() const { return seconds > 0 ? done / seconds : 0; }
    double p99() const
    {
        if (latenciesMs.empty())
            return 1e9;
        std::vector<double> sorted = latenciesMs;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(sorted.size() * 0.99))];
    }
};

// `connections` clients, each sending its next request as soon as the last one is answered,
// until `total` answers or `maxMs` have passed.
Load drive(quint16 port, const QByteArray &path, const std::function<QByteArray(int)> &body,
    int connections, int total, int maxMs)
{
    struct Client
    {
        QTcpSocket socket;
        QByteArray buffer;
        QElapsedTimer sent;
    };
    Load load;
    int started = 0;
    QEventLoop loop;
    QElapsedTimer clock;
    std::vector<std::unique_ptr<Client>> clients;
    const auto send = [&](Client &c) {
        if (started >= total || clock.elapsed() > maxMs) {
            if (load.done + load.failed >= started)
                loop.quit();
            return;
        }
        const QByteArray b = body(started++);
        c.sent.start();
        c.socket.write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
            + QByteArray::number(b.size()) + "\r\n\r\n" + b);
    };
    for (int i = 0; i < connections; ++i) {
        auto c = std::make_unique<Client>();
        Client *raw = c.get();
        QObject::connect(&raw->socket, &QTcpSocket::readyRead, &loop, [&, raw] {
            raw->buffer += raw->socket.readAll();
            for (;;) {
                const qsizetype end = raw->buffer.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const qsizetype at = raw->buffer.indexOf("Content-Length: ");
                const qsizetype length
                    = raw->buffer.mid(at + 16, 10).split('\r').first().toLongLong();
                if (raw->buffer.size() < end + 4 + length)
                    return;
                const bool ok = raw->buffer.startsWith("HTTP/1.1 200");
                raw->buffer.remove(0, end + 4 + length);
                if (ok) {
                    ++load.done;
                    load.latenciesMs.push_back(raw->sent.nsecsElapsed() / 1e6);
                } else {
                    ++load.failed;
                }
                send(*raw);
            }
        });
        QObject::connect(&raw->socket, &QTcpSocket::disconnected, &loop, [&] {
            ++load.failed;
            loop.quit();
        });
        raw->socket.connectToHost(QHostAddress::LocalHost, port);
        if (!raw->socket.waitForConnected(5000))
            return load;
        clients.push_back(std::move(c));
    }
    clock.start();
    for (auto &c : clients)
        send(*c);
    QTimer::singleShot(maxMs + 5000, &loop, &QEventLoop::quit);
    loop.exec();
    load.seconds = clock.nsecsElapsed() / 1e9;
    // Closing the clients is not a failure.
    for (auto &c : clients)
        QObject::disconnect(&c->socket, nullptr, nullptr, nullptr);
    return load;
}

QByteArray pollBody(int i)
{
    return QJsonDocument(QJsonObject{{"d", QString("BENCH-%1").arg(i % devices)}, {"v", "0.1.0"},
                             {"os", "debian 12"}})
        .toJson(QJsonDocument::Compact);
}

QByteArray reportBody(int i)
{
    return QJsonDocument(
        QJsonObject{{"d", QString("BENCH-%1").arg(i % devices)}, {"v", "0.1.0"},
            {"os", "debian 12"},
            {"text", QString("Le texte copié depuis le navigateur garde sa police (%1).").arg(i)}})
        .toJson(QJsonDocument::Compact);
}

// The service process, on one core.
class Service
{
public:
    bool start(const QString &location)
    {
        m_process.setChildProcessModifier([] {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(0, &one);
            sched_setaffinity(0, sizeof one, &one);
        });
        m_process.start(QStringLiteral(ORVANE_SERVICE_BINARY),
            {"serve", "--db", location, "--listen", "127.0.0.1:0", "--report-limit", "0,0"});
        if (!m_process.waitForReadyRead(20000))
            return false;
        const QByteArray line = m_process.readLine().trimmed();
        m_port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        return m_port != 0;
    }
    quint16 port() const { return m_port; }
    double residentMiB() const
    {
        QFile status(QString("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return 1e9;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        return 1e9;
    }
    ~Service()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// A tenth of the devices have a reply waiting, so that some polls write.
bool seedReplies(const QString &location)
{
    QString error;
    auto store = ServiceStore::open(location, ServiceStore::Mode::Create, &error);
    for (int i = 0; store && i < devices; i += 10)
        store->addReply(QString("BENCH-%1").arg(i), "Merci, c'est corrigé.", 1, &error);
    if (!store)
        std::fprintf(stderr, "ServiceBench: %s\n", qPrintable(error));
    return bool(store);
}

// Budget prints ceilings; throughput has a floor, printed the same way.
int underFloor = 0;

void atLeast(const char *what, double value, const char *unit, double floor)
{
    const bool ok = value >= floor;
    underFloor += ok ? 0 : 1;
    std::printf("%-48s %10.0f %-3s (budget > %g %s) %s\n", what, value, unit, floor, unit,
        ok ? "ok" : "UNDER BUDGET");
}

void measurePolls(Budget &budget, const QString &location, const char *store)
{
    Service service;
    if (!seedReplies(location) || !service.start(location)) {
        budget.check(qPrintable(QString("service started on %1").arg(store)), false);
        return;
    }
    drive(service.port(), "/api/status.php", pollBody, 8, 2000, 3000); // warm up
    const Load polls = drive(service.port(), "/api/status.php", pollBody, 16, 30000, 6000);
    atLeast(qPrintable(QString("polls per second, one core, %1").arg(store)), polls.perSecond(),
        "/s", 3000);
    budget.report(qPrintable(QString("poll latency p99, %1").arg(store)), polls.p99(), "ms", 20, 2);
    if (polls.failed)
        budget.check("every poll answered 200", false);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Budget budget;
    QTemporaryDir dir;

    const QString sqlite = dir.filePath("bench.db");
    measurePolls(budget, sqlite, "SQLite");
    {
        Service service;
        if (service.start(dir.filePath("reports.db"))) {
            QThread::msleep(1500);
            budget.report("resident memory, idle", service.residentMiB(), "MiB", 30, 1);
            const Load reports
                = drive(service.port(), "/api/report.php", reportBody, 32, 6000, 8000);
            atLeast("reports per second, committed, SQLite", reports.perSecond(), "/s", 500);
            if (reports.failed)
                budget.check("every report answered 200", false);
        } else {
            budget.check("service started", false);
        }
    }

    PgCluster pg;
    if (pg.start())
        measurePolls(budget, pg.location(), "PostgreSQL");
    else
        std::printf("%-48s skipped: no PostgreSQL server here\n", "polls on PostgreSQL");
    return underFloor == 0 ? budget.exitCode() : 1;
}
