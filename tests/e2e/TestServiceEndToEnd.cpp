// The real orvanetavo binary against the makers' real orvanetavo-service on 127.0.0.1, over TLS
// with a certificate made for the run and a fresh database: a report typed in the dialog is stored
// as sent, a crash is sent at the next start, and a reply left with the makers' command is shown
// once, at that next start.
#include "AppHome.h"
#include "ServiceProcess.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QTest>

#include <csignal>

class TestServiceEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString m_db = m_dir.filePath("db");
    ServiceProcess m_service;
    AppHome m_home;
    QProcess m_app;

    QList<QJsonObject> records(const char *command) const
    {
        return ServiceProcess::jsonLines({command, "--json", "--db", m_db});
    }
    QString deviceId() const { return m_home.settings().value("OTDeviceId").toString(); }
    static void xdotool(const QStringList &arguments) { runTool("xdotool", arguments); }

    // The lines of the alert beside the main window at `rows` pixels from its top, read as the
    // user would (its texts are selectable with the mouse, and a mouse selection is the X11
    // primary); then Return closes it.
    static QStringList closeAlert(const QList<int> &rows)
    {
        QStringList lines;
        for (int row : rows) {
            runTool("xclip", {"-selection", "primary", "-i", "/dev/null"});
            // Past the icon column (20 margin, 64 icon, 16 gap), across the whole text width.
            const QString alert = appWindows().value(1), y = QString::number(row);
            xdotool({"mousemove", "--window", alert, "101", y, "mousedown", "1", "mousemove",
                "--window", alert, "490", y, "mouseup", "1", "sleep", "0.2"});
            lines << QString::fromUtf8(runTool("xclip", {"-selection", "primary", "-o"}));
        }
        xdotool({"key", "Return"});
        return lines;
    }

    // Starts the application and waits for its main window.
    void launch()
    {
        m_app.start(ORVANETAVO_BINARY);
        QTRY_VERIFY_WITH_TIMEOUT(!appWindows().isEmpty(), 20000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_service.makeCertificate() && m_service.start(m_db));
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
        QProcessEnvironment env = m_home.environment();
        env.insert("ORVANE_SERVICE_URL", QString("https://127.0.0.1:%1").arg(m_service.port()));
        env.insert("ORVANE_SERVICE_CA", m_service.certPath());
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
    }
    void cleanupTestCase()
    {
        m_app.kill();
        m_app.waitForFinished();
        QCOMPARE(m_service.stop(), 0);
    }

    void reportCrashAndReply()
    {
        launch();
        // The launch poll makes the device's id; it found nothing for it, so nothing is shown.
        QTRY_COMPARE_WITH_TIMEOUT(deviceId().size(), 36, 10000);
        QCOMPARE(appWindows().size(), 1);
        // The application menu, its second entry "Signaler un problème…", a text and an address;
        // Return presses the default button, "Envoyer".
        xdotool({"mousemove", "--window", appWindows().first(), "30", "10", "click", "1", "sleep",
            "0.5", "key", "Down", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 5000);
        xdotool({"type", "--delay", "20", "Le gras revient apres Ctrl+V\tmoi@exemple.ch"});
        xdotool({"sleep", "0.3", "key", "Return"});
        QList<QJsonObject> reports;
        QTRY_COMPARE_WITH_TIMEOUT((reports = records("reports")).size(), 1, 10000);
        for (const char *key : {"id", "received", "os"})
            reports[0].remove(key);
        QCOMPARE(reports[0],
            QJsonObject({{"device", deviceId()}, {"v", ORVANE_VERSION},
                {"text", "Le gras revient apres Ctrl+V"}, {"email", "moi@exemple.ch"},
                {"address", "127.0.0.1"}}));
        // The service's answer was understood: the result alert thanks the user.
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 5000);
        QTest::qWait(300);
        QCOMPARE(closeAlert({28}), QStringList({"Merci !"}));
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);

        // Killed by a fatal signal, the application leaves its record; nothing leaves from the
        // signal handler, the next start sends it.
        QCOMPARE(m_app.state(), QProcess::Running);
        ::kill(pid_t(m_app.processId()), SIGSEGV);
        QVERIFY(m_app.waitForFinished(10000));
        QVERIFY(records("crashes").isEmpty());
        const QString text = "Corrige dans la prochaine version";
        QCOMPARE(ServiceProcess::run({"reply", deviceId(), text, "--db", m_db}).exitCode, 0);
        const QJsonArray shown{records("replies").value(0).value("id")};
        QElapsedTimer sinceLaunch;
        sinceLaunch.start();
        launch();
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 10000);
        const qint64 pollTook = sinceLaunch.elapsed();
        QTest::qWait(300);
        QCOMPARE(closeAlert({28, 56}), QStringList({"Message de Orvane Labs", text}));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_home.settings().value("OTShownMessages"), QJsonValue(shown), 5000);
        QList<QJsonObject> crashes;
        QTRY_COMPARE_WITH_TIMEOUT((crashes = records("crashes")).size(), 1, 10000);
        QCOMPARE(crashes[0]["message"].toString(), "Signal 11");
        QCOMPARE(crashes[0]["versions"].toArray(), QJsonArray({ORVANE_VERSION}));

        // The service offers the same reply again at every poll; the application keeps quiet for
        // well past the time the launch poll took to show it above.
        m_app.kill();
        m_app.waitForFinished();
        launch();
        QDeadlineTimer quiet(qMax<qint64>(3000, 3 * pollTook));
        while (!quiet.hasExpired()) {
            QCOMPARE(appWindows().size(), 1);
            QTest::qWait(250);
        }
        QCOMPARE(m_home.settings().value("OTShownMessages"), QJsonValue(shown));
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "TestServiceEndToEnd.moc"
