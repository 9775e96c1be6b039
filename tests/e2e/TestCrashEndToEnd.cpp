// The real orvanetavo binary, killed with SIGSEGV while it runs, leaves its record; its next
// start sends that record to a stand-in for the makers' service on 127.0.0.1 and removes it.
#include "AppHome.h"
#include "FeedServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

class TestCrashEndToEnd : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    FeedServer m_server;

    QString recordPath() const
    {
        return m_home.filePath(".local/share/OrvaneTavo/pending-crash.txt");
    }

    // Started, and past its launch: the launch poll comes after crash capture is in place.
    void start(QProcess &app)
    {
        QProcessEnvironment env = m_home.environment();
        env.insert("ORVANE_SERVICE_URL", m_server.url("").toString());
        env.insert("ORVANE_SERVICE_CA", m_server.certificatePath());
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        // No core file for the crash we cause.
        app.setChildProcessModifier([] {
            const rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);
        });
        m_server.requests.clear();
        app.start(ORVANETAVO_BINARY);
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_server.requests.contains("/api/status.php"), 15000);
    }

    QList<QJsonObject> crashBodies() const
    {
        QList<QJsonObject> bodies;
        for (const FeedServer::Request &request : m_server.received) {
            if (request.path == "/api/crash.php")
                bodies.append(QJsonDocument::fromJson(request.body).object());
        }
        return bodies;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start(false));
        m_server.routes["/api/status.php"] = {200, "{}"};
        m_server.routes["/api/crash.php"] = {200, R"({"ok": true})"};
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
    }

    void killedThenSentAtNextStart()
    {
        QProcess first;
        start(first);
        QVERIFY(!QFile::exists(recordPath()));
        ::kill(pid_t(first.processId()), SIGSEGV);
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        QCOMPARE(first.exitCode(), SIGSEGV);

        QFile file(recordPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();
        file.close();
        QVERIFY2(record.startsWith("Signal 11\n---\n"), record.constData());
        QVERIFY(!record.endsWith('\n'));
        const QByteArray stack = record.mid(record.indexOf("\n---\n") + 5);
        QVERIFY(!stack.isEmpty());
        QVERIFY(stack.count('\n') < 30);
        QCOMPARE(crashBodies().size(), 0);

        QProcess second;
        start(second);
        QTRY_COMPARE_WITH_TIMEOUT(crashBodies().size(), 1, 10000);
        const QJsonObject body = crashBodies().first();
        QCOMPARE(body.value("kind"), "crash");
        QCOMPARE(body.value("message"), "Signal 11");
        QCOMPARE(body.value("stack").toString().toUtf8(), stack);
        QCOMPARE(body.value("v"), ORVANE_VERSION);
        QVERIFY(!QFile::exists(recordPath()));

        // Being told to end is not a crash: no record, and nothing more was sent.
        second.terminate();
        QVERIFY(second.waitForFinished(10000));
        QVERIFY(!QFile::exists(recordPath()));
        QCOMPARE(crashBodies().size(), 1);
    }
};

QTEST_MAIN(TestCrashEndToEnd)
#include "TestCrashEndToEnd.moc"
