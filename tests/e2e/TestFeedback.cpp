// The real orvanetavo binary against a stand-in for the makers' service on 127.0.0.1, over three
// launches: killed with SIGSEGV it leaves a crash record, which the next launch sends; the
// launch poll brings a message that is shown again after a logout over it, and a report typed
// at the keyboard arrives with what was typed. Screenshots of the screen go to the build folder.
#include "AppHome.h"
#include "FeedServer.h"

#include <QJsonArray>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

class TestFeedback : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    FeedServer m_server;
    QProcess m_app;
    const QString m_record = m_home.filePath(".local/share/OrvaneTavo/pending-crash.txt");

    static void screenshot(const QString &name)
    {
        runTool("import", {"-window", "root", QString(SCREENSHOT_DIR) + "/e2e-" + name + ".png"});
    }

    QJsonObject lastBody(const QString &path) const
    {
        for (auto it = m_server.received.crbegin(); it != m_server.received.crend(); ++it)
            if (it->path == path)
                return QJsonDocument::fromJson(it->body).object();
        return {};
    }

    // Launches the application and waits for the message its launch poll brings.
    void launchToTheMessage()
    {
        m_server.requests.clear();
        m_app.start(ORVANETAVO_BINARY);
        QTRY_VERIFY_WITH_TIMEOUT(m_server.requests.contains("/api/status.php"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 10000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_server.start(false));
        m_server.routes
            = {{"/api/crash.php", {200, "{}"}}, {"/api/report.php", {200, R"({"ok": true})"}},
                {"/api/status.php",
                    {200, R"({"mid": 42, "msg": "Bonjour ! Ton souci est réglé dans la 0.2."})"}}};
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));

        QProcessEnvironment env = m_home.environment();
        env.insert("ORVANE_SERVICE_URL", m_server.url("").toString());
        env.insert("ORVANE_SERVICE_CA", m_server.certificatePath());
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_app.setChildProcessModifier([] {
            const rlimit none{0, 0}; // no core file for the crash we cause
            setrlimit(RLIMIT_CORE, &none);
        });
    }

    void cleanupTestCase()
    {
        m_app.terminate();
        m_app.waitForFinished(5000);
    }

    void crashRecordIsSentAtTheNextLaunch()
    {
        // A FIFO there once kept the window from ever coming up.
        QVERIFY(QDir().mkpath(QFileInfo(m_record).path()));
        QCOMPARE(mkfifo(QFile::encodeName(m_record).constData(), 0600), 0);
        launchToTheMessage();
        ::kill(pid_t(m_app.processId()), SIGSEGV);
        QVERIFY(m_app.waitForFinished(10000));
        QCOMPARE(m_app.exitCode(), SIGSEGV);
        QFile file(m_record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();

        launchToTheMessage();
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requests.count("/api/crash.php"), 1, 10000);
        const QJsonObject body = lastBody("/api/crash.php");
        QCOMPARE(body.value("message").toString() + "\n---\n" + body.value("stack").toString(),
            QString::fromUtf8(record));
        // Removed once the service has it.
        QTRY_VERIFY(!QFile::exists(m_record + ".try1"));
        // The session ends over the message: it is not taken as read, and being told to end is
        // not a crash.
        m_app.terminate();
        QVERIFY(m_app.waitForFinished(5000));
        QVERIFY(!m_home.settings().contains("OTShownMessages"));
        QVERIFY(!QFile::exists(m_record));
        // Nothing of Qt's complaints about our connections, at the start or the end.
        const QByteArray complaints = m_app.readAllStandardError();
        QVERIFY2(!complaints.contains("QObject::connect"), complaints.constData());
    }

    void messageIsReadThenAReportTypedArrives()
    {
        launchToTheMessage();
        QTest::qWait(300); // the alert takes the focus
        screenshot("message");
        runTool("xdotool", {"key", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(
            m_home.settings().value("OTShownMessages"), QJsonValue(QJsonArray{42}), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);

        // The application menu, then its second entry, "Signaler un problème…".
        runTool(
            "xdotool", {"mousemove", "--window", appWindows().value(0), "30", "10", "click", "1"});
        QTest::qWait(500);
        runTool("xdotool", {"key", "Down", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 5000);
        runTool("xdotool", {"type", "--delay", "20", "  Le compteur reste bloque  "});
        runTool("xdotool", {"key", "Tab"});
        runTool("xdotool", {"type", "--delay", "20", "moi@exemple.ch"});
        QTest::qWait(300);
        screenshot("report");
        runTool("xdotool", {"key", "Return"});
        QTRY_VERIFY_WITH_TIMEOUT(m_server.requests.contains("/api/report.php"), 10000);
        const QJsonObject report = lastBody("/api/report.php");
        QCOMPARE(report.value("text").toString(), "Le compteur reste bloque");
        QCOMPARE(report.value("email").toString(), "moi@exemple.ch");

        // The result alert takes the report window's place.
        QTest::qWait(500);
        QCOMPARE(appWindows().size(), 2);
        screenshot("report-sent");
        runTool("xdotool", {"key", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        QCOMPARE(m_app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestFeedback)
#include "TestFeedback.moc"
