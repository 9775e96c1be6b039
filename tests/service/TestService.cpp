#include "HttpConnection.h"
#include "PgCluster.h"
#include "ServiceProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <deque>

// The store of the current row, or a skip when PostgreSQL cannot run here.
#define FETCH_STORE(at)                                                                            \
    QFETCH(int, at);                                                                               \
    if (m_locations[at].isEmpty())                                                                 \
        QSKIP(qPrintable(m_pgWhy));

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
        if (value.isUndefined())
            object.remove(key);
        else
            object.insert(key, value);
        return object;
    }
    static QByteArray post(const QByteArray &path, const QByteArray &body,
        const QByteArray &head = {}, const QByteArray &method = "POST")
    {
        return method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n" + head + "\r\n" + body;
    }
    static inline const QByteArray reportPath = "/api/report.php", crashPath = "/api/crash.php",
                                   statusPath = "/api/status.php";
    // The status and the JSON object of one exchange on a kept-alive connection.
    static std::pair<int, QJsonObject> ask(HttpConnection &http, const QByteArray &path,
        const QJsonObject &body, const QByteArray &head = {})
    {
        const HttpReply reply = http.exchange(post(path, json(body), head));
        return {reply.status, QJsonDocument::fromJson(reply.body).object()};
    }
    // Records stored, by type, as the makers' export sees them.
    static QMap<QString, int> stored(const QString &location)
    {
        QMap<QString, int> types;
        for (const QJsonObject &o : ServiceProcess::jsonLines({"export", "--db", location}))
            ++types[o["type"].toString()];
        return types;
    }

    QTemporaryDir m_dir;
    PgCluster m_pg;
    QString m_pgWhy;
    ServiceProcess m_services[2]; // SQLite, PostgreSQL
    QString m_locations[2];

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
        QVERIFY(m_services[0].start(m_locations[0], unlimited));
        if (m_pg.start(&m_pgWhy)) {
            m_locations[1] = m_pg.location();
            QVERIFY(m_services[1].start(m_locations[1], unlimited));
        }
    }
    void cleanupTestCase()
    {
        for (int at : {0, 1})
            QVERIFY(m_locations[at].isEmpty() || m_services[at].stop() == 0);
    }

    // One request on a fresh connection: its status, a fragment of its JSON answer, and that
    // exactly what was acknowledged was stored.
    void requests_data()
    {
        QTest::addColumn<int>("at");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("answer");
        const auto row = [](const QByteArray &name, const QByteArray &bytes, int status,
                             const QString &answer, bool bothStores = false) {
            QTest::addRow("sqlite: %s", name.constData()) << 0 << bytes << status << answer;
            if (bothStores)
                QTest::addRow("postgresql: %s", name.constData()) << 1 << bytes << status << answer;
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
        // clang-format off
        row("report", rp(good), 200, R"({"ok":true})", true);
        row("report with email", rp(with(good, "email", " a@b.ch ")), 200, "true");
        row("text of 256 Ki", rp(report("R", QString(262144, 'x'))), 200, "true", true);
        row("text of 256 Ki escaped", rp(report("R", QString(262144, QChar(1)))), 200, "true");
        row("text over 256 Ki", rp(report("R", QString(262145, 'x'))), 400, "\"text\" must be 1 to 262144");
        row("crash", cr(crash("?")), 200, "true", true);
        row("poll", post(s, json(with(good, "text", QJsonValue::Undefined))), 200, R"({"mid":0,"msg":""})", true);
        row("query ignored", post(s + "?x=1", json(good)), 200, R"("mid":0)");
        row("lone high surrogate", text("\\ud800x"), 400, badText, true);
        row("lone high at the end", text("a\\uD800"), 400, badText, true);
        row("lone low surrogate", text("\\udc00"), 400, badText);
        row("halves apart", text("\\ud83d \\ude00"), 400, badText);
        row("pair", text("\\\\\\ud83d\\ude00"), 200, "true", true);
        row("raw surrogate bytes", text("\xed\xa0\x80"), 400, notObject);
        row("empty", post(r, {}), 400, notObject);
        row("array", post(c, "[{}]"), 400, notObject);
        for (const char *key : {"d", "v", "os", "text"}) {
            row("missing " + QByteArray(key), rp(with(good, key, QJsonValue::Undefined)), 400, "missing key");
            row(key + QByteArray(" as number"), rp(with(good, key, 7)), 400,
                QString("\"%1\" must be a string").arg(key));
        }
        for (const char *key : {"kind", "message", "stack"})
            row("crash missing " + QByteArray(key), cr(with(crash("?"), key, QJsonValue::Undefined)), 400,
                QString("missing key \"%1\"").arg(key));
        row("blank text", rp(with(good, "text", " \n\t ")), 400, "\"text\" is blank");
        row("device 128", rp(with(good, "d", QString(128, 'D'))), 200, "true");
        row("device 129", rp(with(good, "d", QString(129, 'D'))), 400, "1 to 128");
        row("email 255", rp(with(good, "email", QString(255, 'e'))), 400, "0 to 254");
        row("NUL in text", rp(report("R", QString("a") + QChar(0) + "b")), 400, "NUL");
        row("message too long", cr(with(crash("?"), "message", QString(16385, 'm'))), 400, "0 to 16384");
        row("GET", "GET /api/report.php HTTP/1.1\r\n\r\n", 405, "use POST");
        row("PUT", post(r, json(good), {}, "PUT"), 405, "use POST");
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
        // clang-format on
    }
    void requests()
    {
        FETCH_STORE(at);
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        QFETCH(QString, answer);
        const QMap<QString, int> before = stored(m_locations[at]);
        HttpConnection http(m_services[at].port());
        const HttpReply reply = http.exchange(bytes);
        QCOMPARE(reply.status, status);
        const QString error = QJsonDocument::fromJson(reply.body)["error"].toString();
        QVERIFY2((reply.body + error.toUtf8()).contains(answer.toUtf8()), reply.body.constData());
        QVERIFY(reply.head.contains("Content-Type: application/json"));
        QMap<QString, int> expected = before;
        if (status == 200 && !bytes.contains("status.php"))
            ++expected[bytes.contains("report.php") ? "report" : "crash"];
        QCOMPARE(stored(m_locations[at]), expected);
    }

    // What one connection gets back: the statuses in order, and whether the service closes it.
    void manners_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("halfClose");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<bool>("closed");
        const QByteArray poll = json(with(report("M"), "text", QJsonValue::Undefined));
        const QByteArray &s = statusPath;
        const auto old = [](QByteArray bytes) { return bytes.replace(" HTTP/1.1", " HTTP/1.0"); };
        // clang-format off
        QTest::newRow("Connection: close") << post(s, poll, "Connection: close\r\n") << false << QList{200} << true;
        QTest::newRow("HTTP/1.0") << old(post(s, poll)) << false << QList{200} << true;
        QTest::newRow("HTTP/1.0 keep-alive") << old(post(s, poll, "Connection: keep-alive\r\n"))
                                             << false << QList{200} << false;
        QTest::newRow("half-closed") << post(reportPath, json(report("half"))) << true << QList{200} << true;
        QTest::newRow("pipelined") << post(s, poll) + post(s, "{}") + post("/nowhere", poll)
                                   << false << QList{200, 400, 404} << false;
        QTest::newRow("pipelined, then half-closed") << post(s, poll) + post(s, poll) << true << QList{200, 200} << true;
        QTest::newRow("after a refused head") << "POST / HTTP/1.1\r\n\r\n" + post(s, poll) << false << QList{411} << true;
        // clang-format on
    }
    void manners()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, halfClose);
        QFETCH(QList<int>, statuses);
        QFETCH(bool, closed);
        HttpConnection http(m_services[0].port());
        QVERIFY(http.open() && http.write(bytes));
        if (halfClose)
            http.shutdownWrite();
        for (int status : statuses)
            QCOMPARE(http.read(3000).status, status);
        QCOMPARE(http.waitForClose(500), closed);
        QCOMPARE(http.read(0).status, 0); // and nothing more came
    }

    // An exact repeat from the same device and address is acknowledged and kept once, also when
    // the first answer never reached the client.
    void repeatsAreKeptOnce_data() { addStores(); }
    void repeatsAreKeptOnce()
    {
        FETCH_STORE(at);
        const QJsonObject first = report("repeat", QString("fois %1").arg(at));
        const QMap<QString, int> before = stored(m_locations[at]);
        HttpConnection(m_services[at].port()).write(post(reportPath, json(first)));
        HttpConnection http(m_services[at].port());
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(ask(http, reportPath, first).second["ok"], QJsonValue(true));
            QCOMPARE(ask(http, crashPath, crash("repeat")).first, 200);
        }
        QCOMPARE(ask(http, reportPath, first, "X-Forwarded-For: 192.0.2.9\r\n").first, 200);
        QCOMPARE(ask(http, reportPath, with(first, "os", "x")).first, 200);
        QMap<QString, int> expected = before;
        expected["report"] += 3;
        expected["crash"] += 1;
        QCOMPARE(stored(m_locations[at]), expected);
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
        QCOMPARE(ask(http, statusPath, poll).second["mid"], QJsonValue(0));
        for (const char *text : {"Une", "Deux"})
            QCOMPARE(ServiceProcess::run({"reply", "--db", db, dev, text}).exitCode, 0);
        QCOMPARE(ServiceProcess::run({"reply", "--db", db, dev, " \n"}).exitCode, 1);
        QStringList seen;
        for (int i = 0; i < 3; ++i)
            seen << ask(http, statusPath, poll).second["msg"].toString();
        QCOMPARE(seen, QStringList({"Une", "Deux", "Deux"}));
        const QList<QJsonObject> replies
            = ServiceProcess::jsonLines({"replies", "--db", db, "--json"});
        QVERIFY(replies.size() == 2 && !replies[1]["offered"].isNull());

        const QStringList texts
            = {"court", "saut\nde ligne\tet tab", QString(300, 'x'), "émojis 🙃"};
        for (const QString &text : texts) {
            QCOMPARE(ask(http, reportPath, with(report(dev, text), "email", "a@b.ch")).first, 200);
            QCOMPARE(ask(http, crashPath, with(crash(dev, dev), "v", text.left(3))).first, 200);
        }
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
        const QList<QJsonObject> rows
            = ServiceProcess::jsonLines({"reports", "--db", db, "--device", dev, "--json"});
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows[2]["text"].toString(), texts[1]);
        QCOMPARE(rows[2]["email"].toString(), "a@b.ch");
        QCOMPARE(rows[2]["address"].toString(), "127.0.0.1");
        QCOMPARE(rows[2]["received"].toString().left(11),
            QDateTime::currentDateTimeUtc().toString("yyyy-MM-ddT"));
        QList<int> counts, ours; // ours: the count and versions of this device's crash
        for (const QJsonObject &group :
            ServiceProcess::jsonLines({"crashes", "--db", db, "--json"})) {
            counts << group["count"].toInt();
            if (group["message"] == dev)
                ours = {counts.last(), int(group["versions"].toArray().size())};
        }
        QVERIFY(std::is_sorted(counts.crbegin(), counts.crend())); // the most frequent first
        QCOMPARE(ours, QList({4, 4}));
        const QMap<QString, int> all = stored(db);
        QVERIFY(all["report"] > 4 && all["crash"] > 4 && all["reply"] == 2);
    }

    // A restarted PostgreSQL is found again; while it is away the service answers 503 at once.
    void postgresqlComesBack()
    {
        if (m_locations[1].isEmpty())
            QSKIP(qPrintable(m_pgWhy));
        HttpConnection http(m_services[1].port());
        const auto send
            = [&](const char *text) { return ask(http, reportPath, report("pg", text)).first; };
        QCOMPARE(send("avant"), 200);
        QVERIFY(m_pg.control("restart"));
        QCOMPARE(send("après le redémarrage"), 200);
        QVERIFY(m_pg.control("stop"));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(send("pendant l'arrêt"), 503);
        QCOMPARE(ask(http, statusPath, report("pg")).first, 503);
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(m_pg.control("start"));
        QTRY_COMPARE_WITH_TIMEOUT(send("après le retour"), 200, 8000);
        QStringList texts;
        for (const QJsonObject &o : ServiceProcess::jsonLines(
                 {"reports", "--db", m_locations[1], "--device", "pg", "--json"}))
            texts.prepend(o["text"].toString());
        QCOMPARE(texts, QStringList({"avant", "après le redémarrage", "après le retour"}));
    }

    // Connections that trickle cannot lock others out: the longest waiting makes room for a new
    // client, and a head not sent within its deadline ends the connection.
    void slowClientsMakeRoom()
    {
        ServiceProcess service;
        QVERIFY(service.start(m_dir.filePath("slow.db"), {"--max-connections", "4"}));
        std::deque<HttpConnection> slow, quick;
        for (int i = 0; i < 4; ++i, QTest::qWait(50))
            QVERIFY(slow.emplace_back(service.port()).write("POST /api/status.php HTTP/1.1\r\n"));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i)
            QCOMPARE(ask(quick.emplace_back(service.port()), statusPath, report("S")).first, 200);
        QVERIFY(clock.elapsed() < 2000);
        for (int i = 0; i < 3; ++i)
            QVERIFY(slow[i].waitForClose(500));
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
        const QString location = m_locations[at];
        ServiceProcess service;
        QVERIFY(service.start(location, {"--report-limit", "0,0"}));
        const auto text = [](int i, int n) { return QString("burst %1-%2").arg(i).arg(n); };
        std::deque<HttpConnection> pool;
        for (int i = 0; i < 8; ++i) {
            QByteArray requests;
            for (int n = 0; n < 150; ++n)
                requests += post(reportPath, json(report("burst", text(i, n))));
            QVERIFY(pool.emplace_back(service.port()).write(requests));
        }
        QSet<QString> acknowledged;
        for (int n = 0; acknowledged.size() < 600; ++n) {
            for (int i = 0; i < 8; ++i)
                QVERIFY(
                    pool[i].read().body == R"({"ok":true})" && (acknowledged << text(i, n), true));
        }
        service.kill();
        for (const QJsonObject &o :
            ServiceProcess::jsonLines({"reports", "--db", location, "--device", "burst", "--json"}))
            acknowledged.remove(o["text"].toString());
        QVERIFY2(acknowledged.isEmpty(), qPrintable(QString::number(acknowledged.size())));
        ServiceProcess again; // and the database opens again
        QVERIFY(again.start(location));
    }

    void rateLimits()
    {
        ServiceProcess service;
        // 6 an hour per device and 10 per address: bursts of 3 and 5.
        QVERIFY(service.start(
            m_dir.filePath("limits.db"), {"--report-limit", "6,10", "--crash-limit", "2,0"}));
        HttpConnection http(service.port());
        int sent = 0;
        const auto send = [&](const QString &device, const QByteArray &from) {
            return ask(http, reportPath, report(device, QString::number(++sent)),
                "X-Forwarded-For: " + from + "\r\n")
                .first;
        };
        for (const char *from : {"192.0.2.1", "192.0.2.1", "192.0.2.1"})
            QCOMPARE(send("flood", from), 200);
        QCOMPARE(send("flood", "192.0.2.2"), 429); // the device, from anywhere
        QCOMPARE(send("calm", "192.0.2.1"), 200);
        QCOMPARE(send("calm2", "192.0.2.1"), 200);
        QCOMPARE(send("fresh", "192.0.2.1"), 429); // the address, whatever the device
        QCOMPARE(send("fresh", "198.51.100.7, 192.0.2.3"), 200); // the proxy's entry counts
        QCOMPARE(ask(http, crashPath, crash("c", "1")).first, 200);
        QCOMPARE(ask(http, crashPath, crash("c", "2")).first, 429);
    }

    void tls()
    {
        ServiceProcess service;
        QVERIFY(service.makeCertificate());
        QVERIFY(service.start(m_dir.filePath("tls.db")));
        HttpConnection https(service.port(), service.certificate());
        QCOMPARE(ask(https, reportPath, report("T")).first, 200);
        QCOMPARE(ask(https, reportPath, report("T", QString(300000, 'x'))).first, 400);
        QCOMPARE(ask(https, statusPath, report("T"), "Connection: close\r\n").first, 200);
        QVERIFY(https.waitForClose(1000));
        HttpConnection plain(service.port());
        QCOMPARE(ask(plain, statusPath, report("T")).first, 0);
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
