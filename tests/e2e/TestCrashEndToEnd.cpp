// The real orvanetavo binary: its window comes up whatever lies where its crash record goes;
// killed with SIGSEGV, it leaves its record, which the next start sends to a stand-in for the
// makers' service on 127.0.0.1.
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
    void start(QProcess &app)
    {
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

private Q_SLOTS:
    void killedThenSent()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start(false));
        m_server.routes["/api/status.php"] = {200, "{}"};
        m_server.routes["/api/crash.php"] = {200, "{}"};
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
        // A FIFO there once kept the window from ever coming up; a leftover of two threads
        // dying at once stayed for good.
        QVERIFY(QDir().mkpath(QFileInfo(m_record).path()));
        QCOMPARE(mkfifo(QFile::encodeName(m_record).constData(), 0600), 0);
        QFile leftover(m_record + ".99.tmp");
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        QProcess first, next;
        start(first);
        QVERIFY(!leftover.exists());
        ::kill(pid_t(first.processId()), SIGSEGV);
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitCode(), SIGSEGV);
        QFile file(m_record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();
        QVERIFY2(record.startsWith("Signal 11\n---\n"), record.data());

        start(next);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requests.count("/api/crash.php"), 1, 10000);
        QJsonObject body;
        for (const FeedServer::Request &request : std::as_const(m_server.received))
            if (request.path == "/api/crash.php")
                body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.value("message").toString() + "\n---\n" + body.value("stack").toString(),
            QString::fromUtf8(record));
        QTRY_VERIFY(!QFile::exists(m_record));
        // Being told to end is not a crash: no record.
        next.terminate();
        QVERIFY(next.waitForFinished(10000));
        QVERIFY(!QFile::exists(m_record));
    }
};

QTEST_MAIN(TestCrashEndToEnd)
#include "TestCrashEndToEnd.moc"
