#include "PgCluster.h"
#include "ServiceProcess.h"

#include <QJsonArray>
#include <QSslSocket>
#include <QtTest>

#include <deque>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

// A blocking HTTP/1.1 client on one connection to the service on 127.0.0.1, for tests that
// control every byte (a head without its body, requests sent ahead, raw garbage). With a
// certificate the connection is TLS and trusts that certificate only.
struct HttpReply
{
    int status = 0; // 0: no answer (connection closed or timed out)
    QByteArray head, body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};
class HttpConnection
{
public:
    explicit HttpConnection(quint16 port, const QString &trusted = {})
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(QSslCertificate::fromPath(trusted));
        m_socket.setSslConfiguration(config);
        trusted.isEmpty() ? m_socket.connectToHost(QHostAddress::LocalHost, port)
                          : m_socket.connectToHostEncrypted("127.0.0.1", port);
    }
    bool write(const QByteArray &bytes)
    {
        if (m_socket.mode() == QSslSocket::UnencryptedMode
                ? !m_socket.waitForConnected(5000)
                : !m_socket.isEncrypted() && !m_socket.waitForEncrypted(5000))
            return false;
        m_socket.write(bytes);
        while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(5000)) { }
        return m_socket.bytesToWrite() == 0;
    }
    // The client sends nothing more but still reads.
    void shutdownWrite() { ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR); }
    // One answer; what already arrived counts first, so that a time-out of 0 still reads it.
    HttpReply read(int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        static const QRegularExpression contentLength("\r\nContent-Length: (\\d+)\r\n");
        qsizetype end, length = 0;
        while ((end = (m_buffer += m_socket.readAll()).indexOf("\r\n\r\n")) < 0
            || m_buffer.size() < end + 4
                    + (length
                        = contentLength.match(m_buffer.left(end + 2)).captured(1).toLongLong())) {
            if (!m_socket.waitForReadyRead(qMax<qint64>(1, timeoutMs - clock.elapsed())))
                return {};
        }
        HttpReply reply{
            m_buffer.mid(9, 3).toInt(), m_buffer.left(end), m_buffer.mid(end + 4, length)};
        m_buffer.remove(0, end + 4 + length);
        return reply;
    }
    // True when the service closes the connection within the time.
    bool waitForClose(int timeoutMs)
    {
        return m_socket.state() == QAbstractSocket::UnconnectedState
            || m_socket.waitForDisconnected(timeoutMs);
    }

private:
    QSslSocket m_socket;
    QByteArray m_buffer;
};

static const char *noPostgres = "no PostgreSQL server here (scripts/bootstrap.sh installs one)";
// The store of the current row, or a skip when PostgreSQL cannot run here.
#define FETCH_STORE(at)                                                                            \
    QFETCH(int, at);                                                                               \
    if (m_locations[at].isEmpty())                                                                 \
        QSKIP(noPostgres);

// The real service binary on loopback, over a SQLite file and a private PostgreSQL server
// started once for the whole run: what it takes and refuses, how it speaks HTTP, what it
// stores, and what the makers' commands read back.
class TestService : public QObject
{
    Q_OBJECT

    static QByteArray json(const QJsonObject &object)
    {
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    static QJsonObject report(const QString &device, const QJsonValue &text = "Ça colle en gras")
    {
        return {{"d", device}, {"v", "0.1.0"}, {"os", "debian 12"}, {"text", text}};
    }
    static QJsonObject crash(const QString &device, const QString &message = "Signal 11")
    {
        return {{"d", device}, {"kind", "crash"}, {"message", message}, {"stack", "0 main"},
            {"v", "0.1.0"}, {"os", "debian 12"}};
    }
    static QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value)
    {
        value.isUndefined() ? object.remove(key) : void(object.insert(key, value));
        return object;
    }
    static QByteArray post(
        const QByteArray &path, const QByteArray &body, const QByteArray &head = {})
    {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n" + head + "\r\n" + body;
    }
    static inline const QByteArray reportPath = "/api/report.php", crashPath = "/api/crash.php",
                                   statusPath = "/api/status.php";
    // One exchange on a kept-alive connection.
    static HttpReply ask(HttpConnection &http, const QByteArray &path, const QJsonObject &body,
        const QByteArray &head = {})
    {
        return http.write(post(path, json(body), head)) ? http.read() : HttpReply();
    }
    // Reports, crashes and replies stored, as the makers' export sees them.
    static QList<int> stored(const QString &location)
    {
        QList<int> counts = {0, 0, 0};
        for (const QJsonObject &o : ServiceProcess::jsonLines({"export", "--db", location}))
            ++counts[QStringList({"report", "crash", "reply"}).indexOf(o["type"].toString())];
        return counts;
    }

    QTemporaryDir m_dir;
    PgCluster m_pg;
    ServiceProcess m_services[3]; // SQLite, PostgreSQL, and SQLite with rate limits
    QString m_locations[3];

    static void addStores()
    {
        QTest::addColumn<int>("at");
        QTest::newRow("sqlite") << 0;
        QTest::newRow("postgresql") << 1;
    }
private Q_SLOTS:
    void initTestCase()
    {
        const QStringList unlimited = {"--report-limit", "0,0", "--crash-limit", "0,0"};
        m_locations[0] = m_dir.filePath("service.db");
        m_locations[2] = m_dir.filePath("limits.db");
        QVERIFY(m_services[0].start(m_locations[0], unlimited));
        QVERIFY(m_services[2].start(m_locations[2],
            {"--report-limit", "6,10", "--crash-limit", "2,0", "--max-connections", "4"}));
        if (m_pg.start()) {
            m_locations[1] = m_pg.location();
            QVERIFY(m_services[1].start(m_locations[1], unlimited));
        }
    }
    void cleanupTestCase()
    {
        for (int at : {0, 1, 2})
            QVERIFY(m_locations[at].isEmpty() || m_services[at].stop() == 0);
    }

    // What one connection gets for the bytes sent on it: the statuses in order, a fragment of the
    // last JSON answer, whether the service closes it (-1: not looked at; 2: once the client has
    // half-closed), and how many reports and crashes were stored.
    void requests_data()
    {
        QTest::addColumn<int>("at");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("closes");
        QTest::addColumn<QList<int>>("kept");
        const auto flow = [](const char *name, const QByteArray &bytes, const QList<int> &statuses,
                              int closes, const QList<int> &kept = {0, 0}, int at = 0) {
            QTest::addRow("%s%s", at == 1 ? "postgresql: " : "", name)
                << at << bytes << statuses << QString() << closes << kept;
        };
        const auto row = [](const QByteArray &name, const QByteArray &bytes, int status,
                             const QString &answer, bool bothStores = false) {
            const QList<int> kept = {status == 200 && bytes.contains("report.php"),
                status == 200 && bytes.contains("crash.php")};
            for (int at = 0; at <= int(bothStores); ++at)
                QTest::addRow("%s%s", at ? "postgresql: " : "", name.constData())
                    << at << bytes << QList{status} << answer << -1 << kept;
        };
        const QByteArray &r = reportPath, &c = crashPath, &s = statusPath;
        const QJsonObject good = report("R");
        const auto rp = [](const QJsonObject &o) { return post(reportPath, json(o)); };
        const auto cr = [](const QJsonObject &o) { return post(crashPath, json(o)); };
        const auto text = [](const QByteArray &t) {
            return post(
                reportPath, "{\"d\":\"R\",\"v\":\"1\",\"os\":\"o\",\"text\":\"" + t + "\"}");
        };
        const QString badText = "not valid Unicode", notObject = "not a JSON object";
        const QByteArray poll = json(with(good, "text", QJsonValue::Undefined));
        const auto old = [](QByteArray bytes) { return bytes.replace(" HTTP/1.1", " HTTP/1.0"); };
        // An exact repeat from the same device and address is acknowledged and kept once.
        const QJsonObject once = report("repeat");
        const QByteArray repeats = rp(once) + cr(crash("repeat")) + rp(once) + cr(crash("repeat"))
            + post(r, json(once), "X-Forwarded-For: 192.0.2.9\r\n") + rp(with(once, "os", "x"));
        // 6 reports an hour per device and 10 per address, bursts of 3 and 5: a device is refused
        // from anywhere, an address whatever the device; of a forwarded list, only the proxy's own
        // last entry counts.
        QByteArray limited = cr(crash("c", "1")) + cr(crash("c", "2"));
        const char *one = "192.0.2.1";
        for (const auto &[device, from] :
            {std::pair{"flood", one}, {"flood", one}, {"flood", one}, {"flood", "192.0.2.2"},
                {"calm", one}, {"calm2", one}, {"fresh", one}, {"fresh", "192.0.2.1, 192.0.2.3"}})
            limited += post(r, json(report(device, QString::number(limited.size()))),
                "X-Forwarded-For: " + QByteArray(from) + "\r\n");
        // clang-format off
        row("report", rp(good), 200, R"({"ok":true})", true);
        row("text of 256 Ki", rp(report("R", QString(262144, 'x'))), 200, "true", true);
        row("text of 256 Ki escaped", rp(report("R", QString(262144, QChar(1)))), 200, "true");
        row("text over 256 Ki", rp(report("R", QString(262145, 'x'))), 400, "\"text\" must be 1 to 262144");
        row("crash", cr(crash("?")), 200, "true", true);
        row("poll", post(s, poll), 200, R"({"mid":0,"msg":""})", true);
        row("query ignored", post(s + "?x=1", json(good)), 200, R"("mid":0)");
        row("lone high surrogate", text("a\\uD800"), 400, badText, true);
        row("lone low surrogate", text("\\udc00"), 400, badText);
        row("halves apart", text("\\ud83d \\ude00"), 400, badText);
        row("pair", text("\\\\\\ud83d\\ude00"), 200, "true", true);
        row("empty", post(r, {}), 400, notObject);
        row("array", post(c, "[{}]"), 400, notObject);
        for (const char *key : {"d", "v", "os", "text"})
            row("missing " + QByteArray(key), rp(with(good, key, QJsonValue::Undefined)), 400, "missing key");
        for (const char *key : {"kind", "message", "stack"})
            row("crash missing " + QByteArray(key), cr(with(crash("?"), key, QJsonValue::Undefined)), 400, "missing key");
        row("os as number", rp(with(good, "os", 7)), 400, "\"os\" must be a string");
        row("blank text", rp(with(good, "text", " \n\t ")), 400, "\"text\" is blank");
        row("device 128", rp(with(good, "d", QString(128, 'D'))), 200, "true");
        row("device 129", rp(with(good, "d", QString(129, 'D'))), 400, "1 to 128");
        row("email 255", rp(with(good, "email", QString(255, 'e'))), 400, "0 to 254");
        row("NUL in text", rp(report("R", QString("a") + QChar(0) + "b")), 400, "NUL");
        row("message too long", cr(with(crash("?"), "message", QString(16385, 'm'))), 400, "0 to 16384");
        row("GET", "GET /api/report.php HTTP/1.1\r\n\r\n", 405, "use POST");
        row("unknown path", post("/api/reports.php", json(good)), 404, "no such path");
        row("poll over 4 KiB", post(s, QByteArray(4097, ' ')), 413, "body over 4096");
        row("report of 100 MB", "POST /api/report.php HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n", 413, "1638400");
        row("1 MB elsewhere", "POST /x HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n", 413, "4096");
        row("no length", "POST /api/report.php HTTP/1.1\r\n\r\n" + json(good), 411, "Content-Length");
        row("chunked", "POST /api/report.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 411, "Content-Length");
        row("negative length", "POST /api/report.php HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400, "Content-Length");
        row("head of 20 KiB", "POST / HTTP/1.1\r\nX: " + QByteArray(20000, 'p') + "\r\n\r\n", 431, "head too large");
        row("HTTP/2.0", "POST /api/report.php HTTP/2.0\r\nContent-Length: 0\r\n\r\n", 505, "");
        row("garbage", QByteArray("GARBAGE\r\n\r\n"), 400, "not an HTTP request");
        flow("Connection: close", post(s, poll, "Connection: close\r\n"), {200}, 1);
        flow("HTTP/1.0", old(post(s, poll)), {200}, 1);
        flow("HTTP/1.0 keep-alive", old(post(s, poll, "Connection: keep-alive\r\n")), {200}, 0);
        flow("half-closed", rp(report("half")), {200}, 2, {1, 0});
        flow("pipelined", post(s, poll) + post(s, "{}") + post("/nowhere", poll), {200, 400, 404}, 0);
        flow("pipelined, then half-closed", post(s, poll) + post(s, poll), {200, 200}, 2);
        flow("after a refused head", "POST / HTTP/1.1\r\n\r\n" + post(s, poll), {411}, 1);
        for (int at : {0, 1})
            flow("repeats", repeats, QList<int>(6, 200), -1, {3, 1}, at);
        flow("rate limits", limited, {200, 429, 200, 200, 200, 429, 200, 200, 429, 200}, -1, {6, 1}, 2);
        // clang-format on
    }
    void requests()
    {
        FETCH_STORE(at);
        QFETCH(QByteArray, bytes);
        QFETCH(QList<int>, statuses);
        QFETCH(QString, answer);
        QFETCH(int, closes);
        QFETCH(QList<int>, kept);
        const QList<int> before = stored(m_locations[at]);
        HttpConnection http(m_services[at].port());
        QVERIFY(http.write(bytes));
        if (closes == 2)
            http.shutdownWrite();
        HttpReply reply;
        for (int status : statuses)
            QCOMPARE((reply = http.read()).status, status);
        const QString error = reply.json()["error"].toString();
        QVERIFY2((reply.body + error.toUtf8()).contains(answer.toUtf8()), reply.body.constData());
        QVERIFY(reply.head.contains("Content-Type: application/json"));
        if (closes >= 0)
            QCOMPARE(http.waitForClose(500), closes > 0);
        QCOMPARE(http.read(0).status, 0); // and nothing more came
        QCOMPARE(
            stored(m_locations[at]), QList({before[0] + kept[0], before[1] + kept[1], before[2]}));
    }

    // Replies left with the makers' command reach the device in order, one per poll, the last
    // offered again until a newer one; the commands read back what was stored.
    void makersCommands_data() { addStores(); }
    void makersCommands()
    {
        FETCH_STORE(at);
        const QString db = m_locations[at], dev = "CMD";
        HttpConnection http(m_services[at].port());
        const QJsonObject poll = with(report(dev), "text", QJsonValue::Undefined);
        for (const char *text : {"Une", "Deux"})
            QCOMPARE(ServiceProcess::run({"reply", "--db", db, dev, text}).exitCode, 0);
        QCOMPARE(ServiceProcess::run({"reply", "--db", db, dev, " \n"}).exitCode, 1);
        QStringList seen;
        for (int i = 0; i < 3; ++i)
            seen << ask(http, statusPath, poll).json()["msg"].toString();
        QCOMPARE(seen, QStringList({"Une", "Deux", "Deux"}));
        QCOMPARE(stored(db)[2], 2);
        QVERIFY(ServiceProcess::jsonLines({"replies", "--db", db, "--json"})
                    .value(1)["offered"]
                    .isString());

        const QStringList texts
            = {"court", "saut\nde ligne\tet tab", QString(300, 'x'), "émojis 🙃"};
        for (const QString &text : texts) {
            QCOMPARE(ask(http, reportPath, with(report(dev, text), "email", "a@b.ch")).status, 200);
            QCOMPARE(ask(http, crashPath, with(crash(dev, dev), "v", text.left(3))).status, 200);
        }
        QCOMPARE(ask(http, crashPath, crash(dev, "plus récent, plus rare")).status, 200);
        const QStringList table = ServiceProcess::run({"reports", "--db", db, "--device", dev})
                                      .out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(table.size(), 5); // the header and four reports, newest first, one line each
        const qsizetype column = table[0].indexOf("TEXT");
        for (const QString &line : table.mid(1))
            QVERIFY2(
                line.at(column - 1) == ' ' && line.at(column) != ' ' && line.size() <= column + 80,
                qPrintable(line));
        QVERIFY(table[1].contains("émojis") && table[3].contains("saut de ligne et tab")
            && table[2].endsWith(QChar(0x2026)));
        QJsonObject row
            = ServiceProcess::jsonLines({"reports", "--db", db, "--device", dev, "--json"})
                  .value(2);
        QCOMPARE(row.take("received").toString().left(11),
            QDateTime::currentDateTimeUtc().toString("yyyy-MM-ddT"));
        row.remove("id");
        QCOMPARE(row,
            QJsonObject({{"device", dev}, {"v", "0.1.0"}, {"os", "debian 12"}, {"text", texts[1]},
                {"email", "a@b.ch"}, {"address", "127.0.0.1"}}));
        // The most frequent crash first, with the versions that had it.
        const QJsonObject group
            = ServiceProcess::jsonLines({"crashes", "--db", db, "--json"}).value(0);
        QCOMPARE(group["message"].toString(), dev);
        QCOMPARE(QList({group["count"].toInt(), int(group["versions"].toArray().size())}),
            QList({4, 4}));
    }

    // A restarted PostgreSQL is found again; while it is away the service answers 503 at once.
    void postgresqlComesBack()
    {
        if (m_locations[1].isEmpty())
            QSKIP(noPostgres);
        const int before = stored(m_locations[1])[0];
        HttpConnection http(m_services[1].port());
        const auto send
            = [&](const char *text) { return ask(http, reportPath, report("pg", text)).status; };
        QCOMPARE(send("avant"), 200);
        QVERIFY(m_pg.control("restart"));
        QCOMPARE(send("après le redémarrage"), 200);
        QVERIFY(m_pg.control("stop"));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(send("pendant l'arrêt"), 503);
        QCOMPARE(ask(http, statusPath, report("pg")).status, 503);
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(m_pg.control("start"));
        QTRY_COMPARE_WITH_TIMEOUT(send("après le retour"), 200, 8000);
        QCOMPARE(stored(m_locations[1])[0], before + 3); // what was acknowledged, and only that
    }

    // Connections that trickle cannot lock others out: the longest waiting makes room for a new
    // client, and a head not sent within its deadline ends the connection.
    void slowClientsMakeRoom()
    {
        ServiceProcess &service = m_services[2]; // at most 4 connections
        std::deque<HttpConnection> slow, quick;
        for (int i = 0; i < 4; ++i, QTest::qWait(50))
            QVERIFY(slow.emplace_back(service.port()).write("POST /api/status.php HTTP/1.1\r\n"));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(ask(quick.emplace_back(service.port()), statusPath, report("S")).status, 200);
            QVERIFY(slow[i].waitForClose(500));
        }
        QVERIFY(clock.elapsed() < 2000);
        // The last one is cut off when its head is 10 s late.
        QVERIFY(!slow[3].waitForClose(9000 - clock.elapsed()));
        QVERIFY(slow[3].waitForClose(3000));
    }

    // A report the service acknowledged is committed: killing it with SIGKILL in the middle of a
    // burst of requests sent ahead on 8 connections loses none of them.
    void acknowledgedSurviveSigkill_data() { addStores(); }
    void acknowledgedSurviveSigkill()
    {
        FETCH_STORE(at);
        ServiceProcess service;
        QVERIFY(service.start(m_locations[at], {"--report-limit", "0,0"}));
        const auto text = [](int i, int n) { return QString("burst %1-%2").arg(i).arg(n); };
        std::deque<HttpConnection> pool;
        for (int i = 0; i < 8; ++i) {
            QByteArray requests;
            for (int n = 0; n < 150; ++n)
                requests += post(reportPath, json(report("burst", text(i, n))));
            QVERIFY(pool.emplace_back(service.port()).write(requests));
        }
        QSet<QString> acknowledged;
        for (int n = 0; acknowledged.size() < 600; ++n)
            for (int i = 0; i < 8; ++i)
                QVERIFY(
                    pool[i].read().body == R"({"ok":true})" && (acknowledged << text(i, n), true));
        service.stop(true);
        for (const QJsonObject &o : ServiceProcess::jsonLines(
                 {"reports", "--db", m_locations[at], "--device", "burst", "--json"}))
            acknowledged.remove(o["text"].toString());
        QVERIFY2(acknowledged.isEmpty(), qPrintable(QString::number(acknowledged.size())));
        QVERIFY(ServiceProcess().start(m_locations[at])); // and the database opens again
    }

    void tls()
    {
        ServiceProcess service;
        QVERIFY(service.makeCertificate() && service.start(m_dir.filePath("tls.db")));
        HttpConnection https(service.port(), service.certPath());
        QCOMPARE(ask(https, reportPath, report("T")).status, 200);
        QCOMPARE(ask(https, reportPath, report("T", QString(300000, 'x'))).status, 400);
        HttpConnection plain(service.port());
        QCOMPARE(ask(plain, statusPath, report("T")).status, 0);
    }

    void refusedStarts()
    {
        const QString db = m_dir.filePath("serve.db"), typo = m_dir.filePath("typo.db");
        for (const auto &[arguments, error] :
            {std::pair{QStringList{"serve", "--db", db, "--listen", "0.0.0.0:0"}, "loopback"},
                std::pair{QStringList{"serve", "--db", db, "--max-connections", "0"}, "above 0"},
                std::pair{QStringList{"reports", "--db", typo}, "typo.db"}}) {
            const ServiceProcess::Output out = ServiceProcess::run(arguments);
            QVERIFY2(out.exitCode > 0 && out.err.contains(error), qPrintable(out.err));
        }
        QVERIFY(!QFile::exists(typo)); // a typo does not start an empty database
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "TestService.moc"
