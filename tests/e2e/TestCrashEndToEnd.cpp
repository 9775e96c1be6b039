// The real orvanetavo binary: its window comes up whatever lies where its crash record goes;
// killed with SIGSEGV, it leaves its record, which the next starts send to a stand-in for the
// makers' service on 127.0.0.1 until the service acknowledges it.
#include "AppHome.h"
#include "FeedServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

class TestCrashEndToEnd : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    FeedServer m_server;
    const QString m_record = m_home.filePath(".local/share/OrvaneTavo/pending-crash.txt");

    // Started, and past its launch: the launch poll comes once the window is built.
    void start(QProcess &app, int crashStatus)
    {
        m_server.routes["/api/crash.php"] = {crashStatus, "{}"};
        QProcessEnvironment env = m_home.environment();
        env.insert("ORVANE_SERVICE_URL", m_server.url("").toString());
        env.insert("ORVANE_SERVICE_CA", m_server.certificatePath());
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.setChildProcessModifier([] {
            const rlimit none{0, 0}; // no core file for the crash we cause
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
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
    }

    void killedThenSentUntilAcknowledged()
    {
        // A FIFO there once kept the window from ever coming up; a leftover of two threads
        // dying at once stayed for good.
        QVERIFY(QDir().mkpath(QFileInfo(m_record).path()));
        QCOMPARE(mkfifo(QFile::encodeName(m_record).constData(), 0600), 0);
        QFile leftover(m_record + ".99.tmp");
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        QProcess first;
        start(first, 200);
        QVERIFY(!leftover.exists());
        ::kill(pid_t(first.processId()), SIGSEGV);
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        QCOMPARE(first.exitCode(), SIGSEGV);
        QFile file(m_record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();
        QVERIFY2(record.startsWith("Signal 11\n---\n") && crashBodies().isEmpty(), record.data());
        const QString stack = QString::fromUtf8(record.mid(14));

        // Refused by the service, then acknowledged at the next start.
        for (const int status : {500, 200}) {
            QProcess next;
            start(next, status);
            QTRY_COMPARE_WITH_TIMEOUT(crashBodies().size(), status == 500 ? 1 : 2, 10000);
            const QJsonObject body = crashBodies().last();
            QCOMPARE(body.value("message"), "Signal 11");
            QCOMPARE(body.value("stack"), stack);
            QCOMPARE(body.value("v"), ORVANE_VERSION);
            QTRY_COMPARE(
                QFile::exists(m_record + (status == 500 ? ".try1" : ".try2")), status == 500);
            // Being told to end is not a crash: no record.
            next.terminate();
            QVERIFY(next.waitForFinished(10000));
            QVERIFY(!QFile::exists(m_record));
        }
    }
};

QTEST_MAIN(TestCrashEndToEnd)
#include "TestCrashEndToEnd.moc"
