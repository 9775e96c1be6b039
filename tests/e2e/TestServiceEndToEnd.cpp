// The real orvanetavo binary against the makers' real orvanetavo-service on 127.0.0.1, over TLS
// with a certificate made for the run and a fresh database: a report typed in the dialog is stored
// as sent, and a reply left with the makers' command is shown once, at the next launch.
#include "AppHome.h"
#include "ServiceProcess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestServiceEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_db;
    ServiceProcess m_service;
    AppHome m_home;
    QProcess m_app;

    // xdotool prints WINDOW=, X=, Y=, … one a line, in that order.
    static QPoint origin(const QString &window)
    {
        const QStringList shell
            = QString::fromUtf8(runTool("xdotool", {"getwindowgeometry", "--shell", window}))
                  .split('\n');
        return {shell.value(1).mid(2).toInt(), shell.value(2).mid(2).toInt()};
    }

    // The text of the alert's line at `row` pixels from its top, read back as the user would:
    // the alert's texts are selectable with the mouse, and a mouse selection is the X11 primary.
    static QString alertLine(const QString &window, int row)
    {
        runTool("xclip", {"-selection", "primary", "-i", "/dev/null"});
        const QPoint at = origin(window);
        // Past the icon column (20 margin, 64 icon, 16 gap), across the whole text width.
        const QString y = QString::number(at.y() + row);
        runTool("xdotool", {"mousemove", QString::number(at.x() + 101), y, "mousedown", "1"});
        runTool("xdotool", {"mousemove", QString::number(at.x() + 490), y, "mouseup", "1"});
        QTest::qWait(200);
        return QString::fromUtf8(runTool("xclip", {"-selection", "primary", "-o"}));
    }

    // The alert that stands beside the main window.
    static QString alert()
    {
        const QStringList shown = appWindows();
        return shown.size() == 2 ? shown.last() : QString();
    }

    // Starts the application and waits for its main window alone.
    bool launch()
    {
        QProcessEnvironment env = m_home.environment();
        env.insert("ORVANE_SERVICE_URL", QString("https://127.0.0.1:%1").arg(m_service.port()));
        env.insert("ORVANE_SERVICE_CA", m_service.certPath());
        m_app.setProcessEnvironment(env);
        m_app.setProcessChannelMode(QProcess::ForwardedChannels);
        m_app.start(ORVANETAVO_BINARY);
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && appWindows().isEmpty())
            QTest::qWait(100);
        return !appWindows().isEmpty();
    }

    void quit()
    {
        m_app.terminate();
        if (!m_app.waitForFinished(5000))
            m_app.kill(), m_app.waitForFinished(5000); // nothing to do when it was not running
    }

    QString deviceId() const { return m_home.settings().value("OTDeviceId").toString(); }

private Q_SLOTS:
    void initTestCase()
    {
        m_db = m_dir.filePath("service.db");
        QVERIFY(m_service.makeCertificate() && m_service.start(m_db));
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
    }

    void cleanup() { quit(); }
    void cleanupTestCase()
    {
        quit();
        QCOMPARE(m_service.stop(), 0);
    }

    void typedReportIsStored()
    {
        QVERIFY(launch());
        // The launch poll makes the device's id; it found nothing for it, so nothing is shown.
        QTRY_COMPARE_WITH_TIMEOUT(deviceId().size(), 36, 10000);
        QCOMPARE(appWindows().size(), 1);

        // The application menu, then its second entry, "Signaler un problème…".
        const QPoint at = origin(appWindows().first());
        runTool("xdotool",
            {"mousemove", QString::number(at.x() + 30), QString::number(at.y() + 10), "click",
                "1"});
        QTest::qWait(500);
        runTool("xdotool", {"key", "Down", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 5000);

        runTool("xdotool", {"type", "--delay", "20", "Le gras revient apres Ctrl+V"});
        runTool("xdotool", {"key", "Tab"});
        runTool("xdotool", {"type", "--delay", "20", "moi@exemple.ch"});
        QTest::qWait(300);
        // Return presses the default button, "Envoyer".
        runTool("xdotool", {"key", "Return"});

        QList<QJsonObject> reports;
        QTRY_COMPARE_WITH_TIMEOUT(
            (reports = ServiceProcess::jsonLines({"reports", "--json", "--db", m_db})).size(), 1,
            10000);
        for (const auto &[key, value] : QList<std::pair<const char *, QString>>{
                 {"device", deviceId()}, {"text", "Le gras revient apres Ctrl+V"},
                 {"email", "moi@exemple.ch"}, {"v", ORVANE_VERSION}, {"address", "127.0.0.1"}})
            QCOMPARE(reports.first().value(key).toString(), value);

        // The service's answer was understood: the result alert thanks the user.
        QTRY_VERIFY_WITH_TIMEOUT(!alert().isEmpty(), 5000);
        QTest::qWait(300);
        QCOMPARE(alertLine(alert(), 28), "Merci !");
        runTool("xdotool", {"key", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        QCOMPARE(m_app.state(), QProcess::Running);
    }

    void replyIsShownOnceAtTheNextLaunch()
    {
        const QString device = deviceId();
        QCOMPARE(device.size(), 36);
        const QString text = "Corrige dans la prochaine version";
        const ServiceProcess::Output made
            = ServiceProcess::run({"reply", device, text, "--db", m_db});
        QVERIFY2(made.exitCode == 0, qPrintable(made.err));
        const qint64 id = ServiceProcess::jsonLines({"replies", "--json", "--db", m_db})
                              .value(0)
                              .value("id")
                              .toInteger();

        QElapsedTimer sinceLaunch;
        sinceLaunch.start();
        QVERIFY(launch());
        QTRY_VERIFY_WITH_TIMEOUT(!alert().isEmpty(), 10000);
        const qint64 pollTook = sinceLaunch.elapsed();
        QTest::qWait(300);
        const QString shown = alert();
        QCOMPARE(alertLine(shown, 28), "Message de Orvane Labs");
        QCOMPARE(alertLine(shown, 56), text);
        // Stored only once the user has closed it.
        QVERIFY(!m_home.settings().contains("OTShownMessages"));
        runTool("xdotool", {"key", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(
            m_home.settings().value("OTShownMessages"), QJsonValue(QJsonArray{id}), 5000);
        quit();

        // The service offers the same reply again at every poll; the application keeps quiet for
        // well past the time the launch poll took to show it above.
        QVERIFY(launch());
        QDeadlineTimer quiet(qMax<qint64>(3000, 3 * pollTook));
        while (!quiet.hasExpired()) {
            QCOMPARE(appWindows().size(), 1);
            QTest::qWait(250);
        }
        QCOMPARE(m_home.settings().value("OTShownMessages"), QJsonValue(QJsonArray{id}));
    }

    // Killed by a fatal signal, the application leaves its record; its next start sends it, and
    // the makers find it among the crashes, with the version that had it.
    void crashAppearsAfterTheRestart()
    {
        QVERIFY(launch());
        ::kill(pid_t(m_app.processId()), SIGSEGV);
        QVERIFY(m_app.waitForFinished(10000));
        // Nothing leaves from the signal handler: the record waits for the next start.
        QVERIFY(ServiceProcess::jsonLines({"crashes", "--json", "--db", m_db}).isEmpty());
        QVERIFY(launch());
        QList<QJsonObject> crashes;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(crashes = ServiceProcess::jsonLines({"crashes", "--json", "--db", m_db})).isEmpty(),
            10000);
        QCOMPARE(crashes.size(), 1);
        QCOMPARE(crashes.first().value("message").toString(), "Signal 11");
        QVERIFY2(QJsonDocument(crashes.first()).toJson().contains(ORVANE_VERSION),
            QJsonDocument(crashes.first()).toJson().constData());
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "TestServiceEndToEnd.moc"
