// A native Wayland session without XWayland: headless sway, which offers data control. Copies
// from a Wayland program are cleaned with no window focused, in window and in tray mode, a
// source that misbehaves costs a bounded wait, the tray menu restores a cleaned copy, and the
// last clean copy outlives the application. sway will not run as root: as root, sway and every
// program run as `nobody`.
#include "AppHome.h"
#include "StatusNotifierPanel.h"

#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

class TestWaylandEndToEnd : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;
    StatusNotifierPanel m_panel;
    QProcess m_sway;
    QStringList m_asUser;
    QProcessEnvironment m_env;
    // The programs, copied where the unprivileged user can run them: the build folder may
    // be out of its reach.
    const QString m_app = m_home.filePath("orvanetavo"), m_copier = m_home.filePath("copier");
    const QByteArray m_text = QString::fromUtf8("été 日本語\n\tfin").toUtf8();

    void start(QProcess &process, const QString &program, const QStringList &args)
    {
        process.setProcessEnvironment(m_env);
        process.start(m_asUser.isEmpty() ? program : m_asUser.first(),
            m_asUser.isEmpty() ? args : m_asUser.mid(1) + QStringList{program} + args);
    }

    QByteArray paste(const QString &type)
    {
        QProcess process;
        start(process, "wl-paste",
            type.isEmpty() ? QStringList{"--list-types"}
                           : QStringList{"--no-newline", "--type", type});
        process.waitForFinished(5000);
        return process.readAllStandardOutput();
    }

    // A Wayland program copies; true once its copy is the selection, and when `ms` is given,
    // once another copy (ours) replaced it within that time.
    bool copy(QProcess &copier, const QStringList &args, int ms = 0)
    {
        start(copier, m_copier, args);
        return copier.waitForReadyRead(5000) && copier.readLine().trimmed() == "owned"
            && (ms == 0 || (copier.waitForReadyRead(ms) && copier.readLine().trimmed() == "lost"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("sway").isEmpty()
            || QStandardPaths::findExecutable("wl-paste").isEmpty())
            QSKIP("sway and wl-clipboard are missing: scripts/bootstrap.sh installs them");
        if (geteuid() == 0) {
            const passwd *user = getpwnam("nobody");
            if (!user)
                QSKIP("running as root, and no unprivileged user `nobody` to run sway as");
            m_asUser = QStringList{"setpriv", "--reuid=" + QString::number(user->pw_uid),
                "--regid=" + QString::number(user->pw_gid), "--clear-groups", "--"};
        }
        m_env = m_home.environment({"DISPLAY", "QT_QPA_PLATFORM", "ORVANE_CLIPBOARD",
            "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"});
        QVERIFY(QFile::copy(ORVANETAVO_BINARY, m_app));
        QVERIFY(QFile::copy(TAVO_WAYLAND_COPIER, m_copier));
        if (!m_asUser.isEmpty())
            QCOMPARE(QProcess::execute("chown", {"-R", "nobody:", m_home.filePath(".")}), 0);
        start(m_sway, "sway", {"-c", "/dev/null"});
        QString socket;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(socket = QDir(m_home.filePath(".")).entryList({"wayland-?"}, QDir::System).value(0))
                 .isEmpty(),
            10000);
        m_env.insert("WAYLAND_DISPLAY", socket);
        m_env.insert("DBUS_SESSION_BUS_ADDRESS", m_panel.start());
    }

    void cleanupTestCase()
    {
        for (const QString &pid : m_home.keepers())
            kill(pid.toInt(), SIGTERM);
        m_sway.terminate();
        m_sway.waitForFinished(5000);
    }

    void cleansAndKeepsNativeCopies_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QString>("before");
        QTest::newRow("window") << false << QString();
        QTest::newRow("tray") << true << QString();
        // Each costs the clipboard thread a bounded wait, then the next copy is cleaned.
        QTest::newRow("after a source that never writes") << false << "--hang";
        QTest::newRow("after a source that writes without end") << false << "--endless";
        QTest::newRow("after a source that closes at once") << true << "--close";
    }

    void cleansAndKeepsNativeCopies()
    {
        QFETCH(bool, tray);
        QFETCH(QString, before);
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}, {"OTMenuBarMode", tray}}));
        QProcess app;
        m_panel.items.clear();
        start(app, m_app, {});
        QVERIFY(app.waitForStarted());
        QByteArray log;
        QTRY_VERIFY2_WITH_TIMEOUT(
            (log += app.readAllStandardError()).contains("Wayland data control"), log, 20000);
        // The tray icon's registration waits for the panel's answer, which needs our event loop.
        QTRY_VERIFY_WITH_TIMEOUT(!tray || !m_panel.items.isEmpty(), 10000);

        const QStringList styled{"text/html=<b>été</b> 日本語", "text/plain=" + m_text,
            "text/plain;charset=utf-8=" + m_text};
        QProcess bad, good;
        if (!before.isEmpty())
            QVERIFY(!copy(bad, QStringList{before} + styled, 500));
        // A busy machine may need a while to read a source that writes without end.
        QVERIFY(copy(good, styled, 5000));
        QCOMPARE(QList<QByteArray>({paste({}), paste("text/plain"),
                     paste("text/plain;charset=utf-8"), paste("STRING")}),
            QList<QByteArray>({"text/plain;charset=utf-8\ntext/plain\nUTF8_STRING\nSTRING\nTEXT\n",
                m_text, m_text, QString::fromUtf8(m_text).toLatin1()}));
        if (tray) {
            // The tray menu puts the copy back as it was made, with its HTML.
            const QString restore = QString::fromUtf8("Rétablir la mise en forme");
            QVERIFY(m_panel.choose(restore));
            QTRY_COMPARE(paste("text/html"), QString::fromUtf8("<b>été</b> 日本語").toUtf8());
            QCOMPARE(paste("text/plain"), m_text);
            QTRY_VERIFY(!m_panel.entry(restore).enabled);
            // Ours, and left alone.
            QCOMPARE(paste("text/html"), QString::fromUtf8("<b>été</b> 日本語").toUtf8());
        }

        // Quit: the keeper serves the last clean copy until the next one.
        app.terminate();
        QVERIFY(app.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(paste("text/plain"), m_text, 5000);
        QCOMPARE(m_home.keepers().size(), 1);
        QProcess next;
        QVERIFY(copy(next, {"text/plain=suivant"}));
        QTRY_COMPARE_WITH_TIMEOUT(m_home.keepers().size(), 0, 5000);
    }
};

QTEST_GUILESS_MAIN(TestWaylandEndToEnd)
#include "TestWaylandEndToEnd.moc"
