// The real orvanetavo binary against a stand-in for the makers' service on 127.0.0.1: the
// launch poll brings a message that is shown once, again after a logout over it, and a report
// typed at the keyboard arrives with what was typed. Screenshots of the screen go to the build
// folder.
#include "AppHome.h"
#include "FeedServer.h"

#include <QJsonArray>
#include <QProcess>
#include <QTest>

class TestFeedback : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    FeedServer m_server;
    QProcess m_app;

    static void screenshot(const QString &name)
    {
        runTool("import", {"-window", "root", QString(SCREENSHOT_DIR) + "/e2e-" + name + ".png"});
    }

    static QJsonObject lastBody(const FeedServer &server, const QString &path)
    {
        for (auto it = server.received.crbegin(); it != server.received.crend(); ++it) {
            if (it->path == path)
                return QJsonDocument::fromJson(it->body).object();
        }
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
        m_server.routes["/api/status.php"]
            = {200, R"({"mid": 42, "msg": "Bonjour ! Ton souci est réglé dans la 0.2."})"};
        m_server.routes["/api/report.php"] = {200, R"({"ok": true})"};
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));

        QProcessEnvironment env = m_home.environment();
        env.insert("ORVANE_SERVICE_URL", m_server.url("").toString());
        env.insert("ORVANE_SERVICE_CA", m_server.certificatePath());
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    }

    void cleanupTestCase()
    {
        m_app.terminate();
        m_app.waitForFinished(5000);
    }

    void launchPollShowsTheMessageOnce()
    {
        // The session ends over the message: it is not taken as read.
        launchToTheMessage();
        m_app.terminate();
        QVERIFY(m_app.waitForFinished(5000));
        QVERIFY(!m_home.settings().contains("OTShownMessages"));
        // Nothing of Qt's complaints about our connections, at the start or the end.
        QVERIFY(!m_app.readAllStandardError().contains("QObject::connect"));

        launchToTheMessage();
        const QJsonObject poll = lastBody(m_server, "/api/status.php");
        QCOMPARE(poll.value("d").toString().size(), 36);
        QTest::qWait(300); // the alert takes the focus
        screenshot("message");
        runTool("xdotool", {"key", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(
            m_home.settings().value("OTShownMessages"), QJsonValue(QJsonArray{42}), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        QCOMPARE(m_home.settings().value("OTDeviceId").toString(), poll.value("d").toString());
    }

    void typedReportArrives()
    {
        // The application menu, then its second entry, "Signaler un problème…".
        const QStringList shown = appWindows();
        QCOMPARE(shown.size(), 1);
        runTool("xdotool", {"mousemove", "--window", shown.first(), "30", "10", "click", "1"});
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
        const QJsonObject report = lastBody(m_server, "/api/report.php");
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
