// The real orvanetavo binary against the makers' real orvanetavo-service on 127.0.0.1, over TLS
// with a certificate made for the run and a fresh database, over four launches: a report typed in
// the dialog is stored as typed; killed with SIGSEGV the application leaves a crash record, which
// the next launch sends; a reply left with the makers' command is shown at each launch until it is
// read, then never again. Screenshots of the screen go to the build folder.
#include "AppHome.h"
#include "ServiceProcess.h"

#include <QJsonArray>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

class TestServiceEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString m_db = m_dir.filePath("db");
    ServiceProcess m_service;
    AppHome m_home;
    QProcess m_app;
    const QString m_record = m_home.filePath(".local/share/OrvaneTavo/pending-crash.txt");

    // What the service stored of one type ("report", "crash", "reply"), as the makers export it.
    QList<QJsonObject> stored(const QString &type) const
    {
        QList<QJsonObject> all = ServiceProcess::jsonLines({"export", "--db", m_db});
        all.removeIf([&](const QJsonObject &record) { return record["type"] != type; });
        return all;
    }
    QString deviceId() const { return m_home.settings().value("OTDeviceId").toString(); }
    static void xdotool(const QStringList &arguments) { runTool("xdotool", arguments); }
    static void screenshot(const QString &name)
    {
        runTool("import", {"-window", "root", QString(SCREENSHOT_DIR) + "/e2e-" + name + ".png"});
    }

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

    // Starts the application; true once it shows its windows: the main one, and an alert if
    // `windows` is 2.
    bool launch(int windows)
    {
        m_app.start(ORVANETAVO_BINARY);
        const bool shown = QTest::qWaitFor([&] { return appWindows().size() == windows; }, 20000);
        QTest::qWait(300); // an alert takes the focus
        return shown;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_service.makeCertificate() && m_service.start(m_db));
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        m_app.setProcessEnvironment(m_home.environment(
            {QString("ORVANE_SERVICE_URL=https://127.0.0.1:%1").arg(m_service.port()),
                "ORVANE_SERVICE_CA=" + m_service.certPath()}));
        m_app.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_app.setChildProcessModifier([] {
            const rlimit none{0, 0}; // no core file for the crash we cause
            setrlimit(RLIMIT_CORE, &none);
        });
    }
    void cleanupTestCase()
    {
        m_app.kill();
        m_app.waitForFinished();
        QCOMPARE(m_service.stop(), 0);
    }

    void reportIsStoredAsTyped()
    {
        // A FIFO where a crash record is looked for once kept the window from ever coming up.
        QVERIFY(QDir().mkpath(QFileInfo(m_record).path()));
        QCOMPARE(mkfifo(QFile::encodeName(m_record).constData(), 0600), 0);
        // The launch poll makes the device's id; it found nothing for it, so nothing is shown.
        QVERIFY(launch(1));
        QTRY_COMPARE_WITH_TIMEOUT(deviceId().size(), 36, 10000);
        QCOMPARE(appWindows().size(), 1);
        // The application menu, its second entry "Signaler un problème…", a text and an address;
        // Return presses the default button, "Envoyer".
        xdotool({"mousemove", "--window", appWindows().first(), "30", "10", "click", "1", "sleep",
            "0.5", "key", "Down", "Down", "Return"});
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 5000);
        xdotool({"type", "--delay", "20", "  Le gras revient apres Ctrl+V  \tmoi@exemple.ch"});
        QTest::qWait(300);
        screenshot("report");
        xdotool({"key", "Return"});
        QList<QJsonObject> reports;
        QTRY_COMPARE_WITH_TIMEOUT((reports = stored("report")).size(), 1, 10000);
        for (const char *key : {"type", "id", "received", "os"})
            reports[0].remove(key);
        QCOMPARE(reports[0],
            QJsonObject({{"device", deviceId()}, {"v", ORVANE_VERSION},
                {"text", "Le gras revient apres Ctrl+V"}, {"email", "moi@exemple.ch"},
                {"address", "127.0.0.1"}}));
        // The service's answer was understood: the result alert takes the report's place.
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 2, 5000);
        QTest::qWait(300);
        screenshot("report-sent");
        QCOMPARE(closeAlert({28}), QStringList({"Merci !"}));
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);
        QCOMPARE(m_app.state(), QProcess::Running);
    }

    // Killed by a fatal signal, the application leaves its record; nothing leaves from the
    // signal handler, the next launch sends it, and removes it once the service has it.
    void crashIsSentAtTheNextLaunch()
    {
        ::kill(pid_t(m_app.processId()), SIGSEGV);
        QVERIFY(m_app.waitForFinished(10000));
        QCOMPARE(m_app.exitCode(), SIGSEGV);
        QFile file(m_record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString record = QString::fromUtf8(file.readAll());
        QVERIFY(stored("crash").isEmpty());

        const QString text = "Corrige dans la prochaine version";
        QCOMPARE(ServiceProcess::run({"reply", deviceId(), text, "--db", m_db}).exitCode, 0);
        QVERIFY(launch(2));
        screenshot("message");
        QList<QJsonObject> crashes;
        QTRY_COMPARE_WITH_TIMEOUT((crashes = stored("crash")).size(), 1, 10000);
        QCOMPARE(
            crashes[0]["message"].toString() + "\n---\n" + crashes[0]["stack"].toString(), record);
        QCOMPARE(QJsonArray({crashes[0]["message"], crashes[0]["v"]}),
            QJsonArray({"Signal 11", ORVANE_VERSION}));
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

    void replyIsShownUntilRead()
    {
        const QJsonArray shown{stored("reply").value(0).value("id")};
        QElapsedTimer sinceLaunch;
        sinceLaunch.start();
        QVERIFY(launch(2));
        const qint64 pollTook = sinceLaunch.elapsed();
        QCOMPARE(closeAlert({28, 56}),
            QStringList({"Message de Orvane Labs", "Corrige dans la prochaine version"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_home.settings().value("OTShownMessages"), QJsonValue(shown), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(appWindows().size(), 1, 5000);

        // The service offers the same reply again at every poll; the application keeps quiet for
        // well past the time the launch poll took to show it above.
        m_app.kill();
        m_app.waitForFinished();
        QVERIFY(launch(1));
        QVERIFY(!QTest::qWaitFor(
            [] { return appWindows().size() != 1; }, int(qMax<qint64>(3000, 3 * pollTook))));
        QCOMPARE(m_home.settings().value("OTShownMessages"), QJsonValue(shown));
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "TestServiceEndToEnd.moc"
