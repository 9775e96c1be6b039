#include "PgCluster.h"
#include "ServiceProcess.h"

#include <QJsonArray>
#include <QTcpSocket>
#include <QtTest>

#include <deque>
#include <sys/socket.h>

// A blocking HTTP/1.1 client on one connection to the service on 127.0.0.1, for tests that
// control every byte (a head without its body, requests sent ahead, raw garbage).
struct HttpReply
{
    int status = 0; // 0: no answer (connection closed or timed out)
    QByteArray body;
};
struct HttpConnection
{
    explicit HttpConnection(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }
    // Sent once the connection is made; what the system did not take at once leaves while reading.
    bool write(const QByteArray &bytes)
    {
        return socket.write(bytes) == bytes.size() && socket.waitForBytesWritten(5000);
    }
    // One answer; what already arrived counts first, so that a time-out of 0 still reads it.
    HttpReply read(int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        static const QRegularExpression field("\r\nContent-Length: (\\d+)\r\n");
        qsizetype end, length = 0;
        while ((end = (buffer += socket.readAll()).indexOf("\r\n\r\n")) < 0
            || buffer.size() < end + 4 + (length = field.match(buffer).captured(1).toLongLong()))
            if (!socket.waitForReadyRead(qMax<qint64>(1, deadline.remainingTime())))
                return {};
        HttpReply reply{buffer.mid(9, 3).toInt(), buffer.mid(end + 4, length)};
        buffer.remove(0, end + 4 + length);
        return reply;
    }
    // True when the service closes the connection within the time.
    bool waitForClose(int timeoutMs)
    {
        return socket.state() == QAbstractSocket::UnconnectedState
            || socket.waitForDisconnected(timeoutMs);
    }

    QTcpSocket socket;
    QByteArray buffer; // what arrived and was not read yet
};

// What one connection gets for the bytes sent on it.
struct Exchange
{
    int at = 0; // the service: 0 SQLite, 1 PostgreSQL, 2 SQLite with rate limits
    QByteArray bytes = {};
    QList<int> statuses = {}; // in order
    QByteArray answer = {}; // a fragment of the last one
    int closes = -1; // the service closes it: 1 yes, 0 no, 2 once the client half-closed, -1 either
    QList<int> kept = {0, 0}; // reports and crashes stored
};

// The real service binary on loopback, over a SQLite file and a private PostgreSQL server
// started once for the whole run: what it takes and refuses, how it speaks HTTP, what it
// stores, and what the makers' commands read back. Without PostgreSQL its rows are left out and
// postgresqlComesBack says why.
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
    static QByteArray post(QByteArray path, const QByteArray &body, const QByteArray &head = {})
    {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n" + head + "\r\n" + body;
    }
    static inline const QByteArray reportPath = "/api/report.php", crashPath = "/api/crash.php",
                                   statusPath = "/api/status.php";
    // One exchange on a kept-alive connection.
    static HttpReply ask(HttpConnection &http, const QByteArray &path, const QJsonObject &body)
    {
        return http.write(post(path, json(body))) ? http.read() : HttpReply();
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
    QString m_locations[3] = {m_dir.filePath("service.db"), {}, m_dir.filePath("limits.db")};

    void addStores() const
    {
        QTest::addColumn<int>("at");
        QTest::newRow("sqlite") << 0;
        if (!m_locations[1].isEmpty())
            QTest::newRow("postgresql") << 1;
    }
private Q_SLOTS:
    void initTestCase()
    {
        const QStringList unlimited = {"--report-limit", "0,0", "--crash-limit", "0,0"};
        if (m_pg.start())
            m_locations[1] = m_pg.location();
        for (int at : {0, 1})
            QVERIFY(m_locations[at].isEmpty() || m_services[at].start(m_locations[at], unlimited));
        QVERIFY(m_services[2].start(m_locations[2],
            {"--report-limit", "6,10", "--crash-limit", "2,0", "--max-connections", "4"}));
    }
    void cleanupTestCase()
    {
        for (int at : {0, 1, 2})
            QVERIFY(m_locations[at].isEmpty() || m_services[at].stop() == 0);
    }

    void requests_data()
    {
        QTest::addColumn<Exchange>("exchange");
        const int stores = m_locations[1].isEmpty() ? 1 : 2;
        const auto row = [stores](const char *name, const QByteArray &bytes, int status,
                             const QByteArray &answer, bool bothStores = false) {
            const QList<int> kept = {status == 200 && bytes.contains("report.php"),
                status == 200 && bytes.contains("crash.php")};
            for (int at = 0; at < (bothStores ? stores : 1); ++at)
                QTest::addRow("%s%s", at ? "postgresql: " : "", name)
                    << Exchange{at, bytes, {status}, answer, -1, kept};
        };
        const QByteArray &r = reportPath, &c = crashPath, &s = statusPath;
        const QJsonObject good = report("R");
        const auto rp = [](const QJsonObject &o) { return post(reportPath, json(o)); };
        const auto cr = [](const QJsonObject &o) { return post(crashPath, json(o)); };
        const QByteArray poll = json(with(good, "text", QJsonValue::Undefined));
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
        row("text over 256 Ki", rp(report("R", QString(262145, 'x'))), 400, "must be 1 to 262144");
        row("crash", cr(crash("?")), 200, "true", true);
        row("poll", post(s, poll), 200, R"({"mid":0,"msg":""})", true);
        row("query ignored", post(s + "?x=1", json(good)), 200, R"("mid":0)");
        row("lone high surrogate", post(r, R"({"d":"R","v":"1","os":"o","text":"a\uD800"})"), 400, "not valid Unicode");
        row("lone low surrogate", post(r, R"({"d":"R","v":"1","os":"o","text":"\udc00"})"), 400, "not valid Unicode");
        row("halves apart", post(r, R"({"d":"R","v":"1","os":"o","text":"\ud83d \ude00"})"), 400, "not valid Unicode");
        row("pair", post(r, R"({"d":"R","v":"1","os":"o","text":"\\\ud83d\ude00"})"), 200, "true", true);
        row("array", post(c, "[{}]"), 400, "not a JSON object");
        for (const char *key : {"d", "v", "os", "text"})
            row("missing " + QByteArray(key), rp(with(good, key, QJsonValue::Undefined)), 400, "missing key");
        for (const char *key : {"kind", "message", "stack"})
            row("crash missing " + QByteArray(key), cr(with(crash("?"), key, QJsonValue::Undefined)), 400, "missing key");
        row("os as number", rp(with(good, "os", 7)), 400, "must be a string");
        row("blank text", rp(with(good, "text", " \n\t ")), 400, "is blank");
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
        row("chunked", "POST /api/report.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 411, "Content-Length");
        row("negative length", "POST /api/report.php HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400, "Content-Length");
        row("head of 20 KiB", "POST / HTTP/1.1\r\nX: " + QByteArray(20000, 'p') + "\r\n\r\n", 431, "head too large");
        row("HTTP/2.0", "POST /api/report.php HTTP/2.0\r\nContent-Length: 0\r\n\r\n", 505, "");
        row("garbage", QByteArray("GARBAGE\r\n\r\n"), 400, "not an HTTP request");
        QTest::newRow("Connection: close") << Exchange{.bytes = post(s, poll, "Connection: close\r\n"), .statuses = {200}, .closes = 1};
        QTest::newRow("HTTP/1.0") << Exchange{.bytes = post(s, poll).replace("/1.1", "/1.0"), .statuses = {200}, .closes = 1};
        QTest::newRow("HTTP/1.0 keep-alive") << Exchange{.bytes = post(s, poll, "Connection: keep-alive\r\n").replace("/1.1", "/1.0"), .statuses = {200}, .closes = 0};
        QTest::newRow("half-closed") << Exchange{.bytes = rp(report("half")), .statuses = {200}, .closes = 2, .kept = {1, 0}};
        QTest::newRow("pipelined") << Exchange{.bytes = post(s, poll) + post(s, "{}") + post("/nowhere", poll), .statuses = {200, 400, 404}, .closes = 0};
        QTest::newRow("pipelined, then half-closed") << Exchange{.bytes = post(s, poll) + post(s, poll), .statuses = {200, 200}, .closes = 2};
        QTest::newRow("after a refused head") << Exchange{.bytes = "POST / HTTP/1.1\r\n\r\n" + post(s, poll), .statuses = {411}, .closes = 1};
        for (int at = 0; at < stores; ++at)
            QTest::addRow("%srepeats", at ? "postgresql: " : "") << Exchange{at, repeats, QList<int>(6, 200), {}, -1, {3, 1}};
        QTest::newRow("rate limits") << Exchange{2, limited, {200, 429, 200, 200, 200, 429, 200, 200, 429, 200}, {}, -1, {6, 1}};
        // clang-format on
    }
    void requests()
    {
        QFETCH(Exchange, exchange);
        const auto &[at, bytes, statuses, answer, closes, kept] = exchange;
        const QList<int> before = stored(m_locations[at]);
        HttpConnection http(m_services[at].port());
        QVERIFY(http.write(bytes));
        if (closes == 2) // the client sends nothing more but still reads
            ::shutdown(int(http.socket.socketDescriptor()), SHUT_WR);
        HttpReply reply;
        for (int status : statuses)
            QCOMPARE((reply = http.read()).status, status);
        QVERIFY2(reply.body.contains(answer), reply.body.constData());
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
        QFETCH(int, at);
        const QString db = m_locations[at], dev = "CMD";
        const auto records = [&](QStringList command) {
            return ServiceProcess::jsonLines(command << "--db" << db << "--json");
        };
        HttpConnection http(m_services[at].port());
        for (const auto &[text, exitCode] : {std::pair{"Une", 0}, {"Deux", 0}, {" \n", 1}})
            QCOMPARE(ServiceProcess::run({"reply", "--db", db, dev, text}).exitCode, exitCode);
        for (const char *msg : {"Une", "Deux", "Deux"}) // a report's body is a poll too
            QCOMPARE(QJsonDocument::fromJson(ask(http, statusPath, report(dev)).body)["msg"], msg);
        // Both are exported, the second offered too.
        QVERIFY(stored(db)[2] == 2 && records({"replies"}).value(1)["offered"].isString());

        const QStringList texts = {"court", "saut\nde\tligne", QString(300, 'x'), "émojis 🙃"};
        for (const QString &text : texts) {
            QCOMPARE(ask(http, reportPath, with(report(dev, text), "email", "a@b.ch")).status, 200);
            QCOMPARE(ask(http, crashPath, with(crash(dev, dev), "v", text.left(3))).status, 200);
        }
        // Newer but rarer, and first by name: even within the same millisecond it would lead if
        // recency ruled.
        QCOMPARE(ask(http, crashPath, crash(dev, "Arrêt plus récent, plus rare")).status, 200);
        // The header and the four reports, newest first, one line each, their texts in one column
        // of at most 80 characters.
        QStringList table = ServiceProcess::run({"reports", "--db", db, "--device", dev})
                                .out.split('\n', Qt::SkipEmptyParts);
        const qsizetype column = table.value(0).indexOf("TEXT");
        for (QString &line : table)
            line.remove(0, column);
        QCOMPARE(table,
            QStringList({"TEXT", "émojis 🙃", QString(79, 'x') + QChar(0x2026), "saut de ligne",
                "court"}));
        QJsonObject row = records({"reports", "--device", dev}).value(2);
        QCOMPARE(row.take("received").toString().left(11),
            QDateTime::currentDateTimeUtc().toString("yyyy-MM-ddT"));
        row.remove("id");
        QCOMPARE(row,
            QJsonObject({{"device", dev}, {"v", "0.1.0"}, {"os", "debian 12"}, {"text", texts[1]},
                {"email", "a@b.ch"}, {"address", "127.0.0.1"}}));
        // The most frequent crash first, with the versions that had it.
        const QJsonObject group = records({"crashes"}).value(0);
        QCOMPARE(QJsonArray({group["message"], group["count"], group["versions"].toArray().size()}),
            QJsonArray({dev, 4, 4}));
    }

    // A restarted PostgreSQL is found again; while it is away the service answers 503.
    void postgresqlComesBack()
    {
        if (m_locations[1].isEmpty())
            QSKIP("no PostgreSQL server here (scripts/bootstrap.sh installs one)");
        const int before = stored(m_locations[1])[0];
        HttpConnection http(m_services[1].port());
        const auto send
            = [&](const char *text) { return ask(http, reportPath, report("pg", text)).status; };
        QVERIFY(m_pg.control("restart"));
        QCOMPARE(send("après le redémarrage"), 200);
        QVERIFY(m_pg.control("stop"));
        QCOMPARE(send("pendant l'arrêt"), 503);
        QVERIFY(m_pg.control("start"));
        QTRY_COMPARE_WITH_TIMEOUT(send("après le retour"), 200, 8000);
        QCOMPARE(stored(m_locations[1])[0], before + 2); // what was acknowledged, and only that
    }

    // Connections that trickle cannot lock others out: the longest waiting makes room for a new
    // client, and a head not sent within its deadline ends the connection.
    void slowClientsMakeRoom()
    {
        const quint16 port = m_services[2].port(); // at most 4 connections
        std::deque<HttpConnection> slow, quick;
        for (int i = 0; i < 4; ++i, QTest::qWait(50))
            QVERIFY(slow.emplace_back(port).write("POST /api/status.php HTTP/1.1\r\n"));
        const QDeadlineTimer soon(2000), headLate(9000);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(ask(quick.emplace_back(port), statusPath, report("S")).status, 200);
            QVERIFY(slow[i].waitForClose(500));
        }
        QVERIFY(!soon.hasExpired());
        // The last one is cut off when its head is 10 s late.
        QVERIFY(!slow[3].waitForClose(headLate.remainingTime()));
        QVERIFY(slow[3].waitForClose(3000));
    }

    // A report the service acknowledged is committed: killing it with SIGKILL in the middle of a
    // burst of requests sent ahead on 8 connections loses none of them.
    void acknowledgedSurviveSigkill_data() { addStores(); }
    void acknowledgedSurviveSigkill()
    {
        QFETCH(int, at);
        ServiceProcess service;
        QVERIFY(service.start(m_locations[at], {"--report-limit", "0,0"}));
        const int before = stored(m_locations[at])[0];
        std::deque<HttpConnection> pool;
        for (int i = 0; i < 8; ++i) {
            QByteArray requests;
            for (int n = 0; n < 150; ++n)
                requests += post(reportPath, json(report("burst", QString::number(i * 150 + n))));
            QVERIFY(pool.emplace_back(service.port()).write(requests));
        }
        // Half of them acknowledged, the first of each connection as they are answered in order.
        for (int n = 0; n < 600; ++n)
            QCOMPARE(pool[n % 8].read().body, R"({"ok":true})");
        service.stop(true);
        QCOMPARE_GE(stored(m_locations[at])[0], before + 600);
    }

    void refusedStarts()
    {
        const QString db = m_dir.filePath("serve.db"), typo = m_dir.filePath("typo.db");
        for (const auto &[arguments, error] :
            {std::pair{QStringList{"serve", "--db", db, "--listen", "0.0.0.0:0"}, "loopback"},
                std::pair{QStringList{"reports", "--db", typo}, "typo.db"}}) {
            const ServiceProcess::Output out = ServiceProcess::run(arguments);
            QVERIFY2(out.exitCode > 0 && out.err.contains(error), qPrintable(out.err));
        }
        QVERIFY(!QFile::exists(typo)); // a typo does not start an empty database
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "TestService.moc"
