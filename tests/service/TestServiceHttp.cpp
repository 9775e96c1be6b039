#include "HttpConnection.h"
#include "PgCluster.h"
#include "ServiceProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// The real service binary on loopback: what each endpoint answers to good and bad requests,
// and that nothing refused reaches the database.
class TestServiceHttp : public QObject
{
    Q_OBJECT

    static QByteArray report(const QString &device, const QString &text = "Ça colle encore en gras")
    {
        return QJsonDocument(
            QJsonObject{{"d", device}, {"v", "0.1.0"}, {"os", "debian 12"}, {"text", text}})
            .toJson(QJsonDocument::Compact);
    }

    static QByteArray crash(const QString &device)
    {
        return QJsonDocument(QJsonObject{{"d", device}, {"kind", "crash"}, {"message", "Signal 11"},
                                 {"stack", "0 main"}, {"v", "0.1.0"}, {"os", "debian 12"}})
            .toJson(QJsonDocument::Compact);
    }

    static QByteArray status(const QString &device)
    {
        return QJsonDocument(QJsonObject{{"d", device}, {"v", "0.1.0"}, {"os", "debian 12"}})
            .toJson(QJsonDocument::Compact);
    }

    // Records in the database, by type, as the makers' export sees them.
    QMap<QString, int> stored(const QString &database)
    {
        const ServiceProcess::Output out = ServiceProcess::run({"export", "--db", database});
        QMap<QString, int> types;
        for (const QString &line : out.out.split('\n', Qt::SkipEmptyParts))
            ++types[QJsonDocument::fromJson(line.toUtf8()).object()["type"].toString()];
        return types;
    }

    QTemporaryDir m_dir;
    QString m_db;
    ServiceProcess m_service;

private Q_SLOTS:
    void initTestCase()
    {
        m_db = m_dir.filePath("service.db");
        QVERIFY(m_service.start(m_db, {"--report-limit", "0,0", "--crash-limit", "0,0"}));
    }

    static void row(const char *name, const QByteArray &method, const QByteArray &path,
        const QByteArray &body, int status, const QString &answer, const QString &storedType = {})
    {
        QTest::newRow(name) << method << path << body << status << answer << storedType;
    }

    // Each request rule is checked in TestRequestRules; one refusal per endpoint here proves
    // the rules are wired in and that nothing refused is stored.
    void endpoints_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("answer"); // a fragment of the JSON answer
        QTest::addColumn<QString>("storedType"); // what one more of is stored, or nothing
        const QByteArray post = "POST";
        row("report", post, "/api/report.php", report("A"), 200, R"({"ok":true})", "report");
        row("crash", post, "/api/crash.php", crash("?"), 200, R"({"ok":true})", "crash");
        row("poll, nothing waiting", post, "/api/status.php", status("Z"), 200,
            R"({"mid":0,"msg":""})");
        row("query string is ignored", post, "/api/status.php?x=1", status("Z"), 200, R"("mid":0)");
        row("GET", "GET", "/api/report.php", {}, 405, "use POST");
        row("PUT with a good body", "PUT", "/api/report.php", report("A"), 405, "use POST");
        row("unknown path", post, "/api/reports.php", report("A"), 404, "no such path");
        row("path with a dot elsewhere", post, "/api/report_php", report("A"), 404, "");
        row("report missing text", post, "/api/report.php", status("A"), 400, "missing key");
        row("crash not JSON", post, "/api/crash.php", "d=1&kind=crash", 400, "not a JSON object");
        row("poll with a numeric device", post, "/api/status.php", R"({"d":1})", 400,
            "must be a string");
        row("report body over 64 KiB", post, "/api/report.php", report("A", QString(70000, 'x')),
            413, "body over 65536");
        row("poll body over 4 KiB", post, "/api/status.php", status(QString(5000, 'd')), 413,
            "body over 4096");
    }
    void endpoints()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, answer);
        QFETCH(QString, storedType);

        const QMap<QString, int> before = stored(m_db);
        HttpConnection http(m_service.port());
        const HttpReply reply = http.post(path, body, {}, method);
        QCOMPARE(reply.status, status);
        QVERIFY2(QString::fromUtf8(reply.body).contains(answer), reply.body.constData());
        QVERIFY(reply.head.toLower().contains("content-type: application/json"));
        QVERIFY(QJsonDocument::fromJson(reply.body).isObject());

        QMap<QString, int> expected = before;
        if (!storedType.isEmpty())
            ++expected[storedType];
        QCOMPARE(stored(m_db), expected);
    }

    // A body over the cap is refused on its head alone: the client never has to send it.
    void overlongBodyRefusedBeforeItIsSent_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
        const QByteArray post = "POST /api/report.php HTTP/1.1\r\nHost: x\r\n";
        QTest::newRow("report of 100 MB") << post + "Content-Length: 100000000\r\n\r\n" << 413;
        QTest::newRow("unknown path with 1 MB")
            << QByteArray("POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n")
            << 413;
        QTest::newRow("chunked") << post + "Transfer-Encoding: chunked\r\n\r\n" << 411;
        QTest::newRow("negative length") << post + "Content-Length: -5\r\n\r\n" << 400;
        QTest::newRow("head of 20 KiB") << post + "X-Pad: " + QByteArray(20000, 'p') + "\r\n\r\n"
                                        << 431;
    }
    void overlongBodyRefusedBeforeItIsSent()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        HttpConnection http(m_service.port());
        QVERIFY(http.open());
        QVERIFY(http.write(head));
        const HttpReply reply = http.read(5000);
        QCOMPARE(reply.status, status);
        QVERIFY(reply.head.contains("Connection: close"));
        QVERIFY(http.waitForClose(5000));
    }

    // Malformed and abandoned requests never take the process down.
    void survivesGarbage()
    {
        const QList<QByteArray> garbage = {
            QByteArray(4096, '\0'),
            "GARBAGE\r\n\r\n",
            "POST /api/report.php HTTP/9.9\r\nContent-Length: 5\r\n\r\n{\"d\":",
            "POST /api/report.php HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
            "POST /api/report.php HTTP/1.1\r\nContent-Length: 10\r\n\r\n{}",
            "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", // a TLS hello on plain HTTP
            "POST /api/report.php HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}POST /api/crash.php "
            "HTTP/1.1\r\n\r\n",
        };
        for (const QByteArray &bytes : garbage) {
            HttpConnection http(m_service.port());
            QVERIFY(http.open());
            http.write(bytes);
            http.read(300);
        }
        QVERIFY(m_service.isRunning());
        HttpConnection http(m_service.port());
        QCOMPARE(http.post("/api/status.php", status("Z")).status, 200);
    }

    void keepAliveCarriesManyRequests()
    {
        HttpConnection http(m_service.port());
        for (int i = 0; i < 20; ++i)
            QCOMPARE(http.post("/api/status.php", status("K")).status, 200);
        QCOMPARE(http.post("/api/report.php", report("K")).status, 200);
        QCOMPARE(http.post("/api/status.php", status("K")).status, 200);
    }

    // Replies left with the makers' command reach the device in order over HTTP, and the
    // server keeps answering while the makers read and write the same database.
    void repliesWhileTheMakersUseTheDatabase()
    {
        QCOMPARE(ServiceProcess::run({"reply", "--db", m_db, "R", "Une"}).exitCode, 0);
        QCOMPARE(ServiceProcess::run({"reply", "--db", m_db, "R", "Deux"}).exitCode, 0);
        QProcess reader;
        reader.start(ServiceProcess::binary(), {"export", "--db", m_db});
        HttpConnection http(m_service.port());
        QStringList seen;
        for (int i = 0; i < 3; ++i) {
            const HttpReply reply = http.post("/api/status.php", status("R"));
            QCOMPARE(reply.status, 200);
            const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
            QVERIFY(answer["mid"].isDouble() && answer["mid"].toInteger() > 0);
            seen << answer["msg"].toString();
            QCOMPARE(http.post("/api/report.php", report("R")).status, 200);
        }
        QCOMPARE(seen, QStringList({"Une", "Deux", "Deux"}));
        QVERIFY(reader.waitForFinished(20000));
        const ServiceProcess::Output table
            = ServiceProcess::run({"reports", "--db", m_db, "--device", "R"});
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.out.count('\n'), 4); // header and three reports
    }

    void rateLimits_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("flag");
        QTest::newRow("reports") << QByteArray("/api/report.php") << "--report-limit";
        QTest::newRow("crashes") << QByteArray("/api/crash.php") << "--crash-limit";
    }
    void rateLimits()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, flag);
        QTemporaryDir dir;
        const QString db = dir.filePath("limits.db");
        ServiceProcess service;
        // 6 an hour per device and 10 per address: bursts of 3 and 5.
        QVERIFY(service.start(db, {flag, "6,10"}));
        HttpConnection http(service.port());
        const auto send = [&](const QString &device, const QByteArray &from) {
            const QByteArray body = path.contains("report") ? report(device) : crash(device);
            return http.post(path, body, "X-Forwarded-For: " + from + "\r\n").status;
        };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(send("flood", "192.0.2.1"), 200);
        QCOMPARE(send("flood", "192.0.2.2"), 429); // the device, from anywhere
        QCOMPARE(send("calm", "192.0.2.1"), 200);
        QCOMPARE(send("calm2", "192.0.2.1"), 200);
        QCOMPARE(send("fresh", "192.0.2.1"), 429); // the address, whatever the device
        QCOMPARE(send("fresh", "198.51.100.7, 192.0.2.3"), 200); // the proxy's entry counts
        QCOMPARE(stored(db).value(path.contains("report") ? "report" : "crash"), 6);
    }

    void tlsWithACertificate()
    {
        QTemporaryDir dir;
        ServiceProcess service;
        QVERIFY(service.makeCertificate());
        QVERIFY(service.start(dir.filePath("tls.db")));
        HttpConnection https(service.port(), service.certificate());
        QVERIFY(https.open());
        QCOMPARE(https.post("/api/report.php", report("T")).status, 200);
        QCOMPARE(https.post("/api/report.php", report("T", QString(70000, 'x'))).status, 413);
        HttpConnection plain(service.port());
        QCOMPARE(plain.post("/api/status.php", status("T")).status, 0);
        QCOMPARE(stored(dir.filePath("tls.db")).value("report"), 1);
    }

    void plainHttpOnlyOnLoopback()
    {
        const ServiceProcess::Output out = ServiceProcess::run(
            {"serve", "--db", m_dir.filePath("never.db"), "--listen", "0.0.0.0:0"});
        QCOMPARE(out.exitCode, 1);
        QVERIFY(out.err.contains("loopback"));
    }

    void postgresqlStore()
    {
        PgCluster pg;
        QString why;
        if (!pg.start(&why))
            QSKIP(qPrintable(why));
        ServiceProcess service;
        QVERIFY(service.start(pg.location()));
        HttpConnection http(service.port());
        QCOMPARE(http.post("/api/report.php", report("P")).status, 200);
        QCOMPARE(http.post("/api/crash.php", crash("P")).status, 200);
        QCOMPARE(http.post("/api/report.php", "{}").status, 400);
        QCOMPARE(ServiceProcess::run({"reply", "--db", pg.location(), "P", "Réponse"}).exitCode, 0);
        const QJsonObject answer
            = QJsonDocument::fromJson(http.post("/api/status.php", status("P")).body).object();
        QCOMPARE(answer["msg"].toString(), QString("Réponse"));
        QCOMPARE(
            stored(pg.location()), (QMap<QString, int>{{"report", 1}, {"crash", 1}, {"reply", 1}}));
    }

    void cleanupTestCase() { QCOMPARE(m_service.stop(), 0); }
};

QTEST_GUILESS_MAIN(TestServiceHttp)
#include "TestServiceHttp.moc"
