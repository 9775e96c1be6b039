// The last clean copy outlives the application: X11 keeps a copy in its owner, so on quit a
// keeper process (the same binary, serve-only) takes it over until the next copy.
#include "AppHome.h"

#include <QDir>
#include <QProcess>
#include <QTest>

class TestKeeper : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;

    static QByteArray run(const QString &program, const QStringList &args)
    {
        return runTool(program, args).trimmed();
    }

    // The keeper processes started from our binary that are still running.
    static int keepers()
    {
        int count = 0;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
            QFile cmdline("/proc/" + pid + "/cmdline");
            if (cmdline.open(QIODevice::ReadOnly)
                && cmdline.readAll().startsWith(ORVANETAVO_BINARY "\0--keep-clipboard"))
                ++count;
        }
        return count;
    }

    // Another program copies; true once it lost the clipboard (to us) within the time given.
    bool copyCleanedWithin(const QStringList &targets, int ms)
    {
        QProcess owner;
        owner.setProcessEnvironment(m_home.environment());
        owner.start(TAVO_CLIPBOARD_OWNER, targets);
        return owner.waitForReadyRead(5000) && owner.readLine().trimmed() == "owned"
            && owner.waitForReadyRead(ms) && owner.readLine().startsWith("lost");
    }

private Q_SLOTS:
    // Quitting from the menu, or ended by the session at logout.
    void lastCleanCopyOutlivesTheApplication_data()
    {
        QTest::addColumn<bool>("terminated");
        QTest::newRow("Quitter OrvaneTavo") << false;
        QTest::newRow("SIGTERM") << true;
    }

    void lastCleanCopyOutlivesTheApplication()
    {
        QFETCH(bool, terminated);
        QVERIFY(m_home.isValid());
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
        QProcess app;
        app.setProcessEnvironment(m_home.environment());
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(ORVANETAVO_BINARY);
        QVERIFY(app.waitForStarted());
        QByteArray window;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(window = run("xdotool", {"search", "--onlyvisible", "--name", "^OrvaneTavo$"}))
                 .isEmpty(),
            20000);
        bool cleaned = false;
        for (int attempt = 0; attempt < 10 && !cleaned; ++attempt)
            cleaned = copyCleanedWithin({"text/html=<b>gras</b>", "text/plain=dernier"}, 1600);
        QVERIFY(cleaned);

        if (terminated)
            app.terminate();
        else
            run("xdotool",
                {"windowfocus", "--sync", QString::fromLatin1(window.split('\n').first()), "key",
                    "ctrl+q"});
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(keepers(), 1);
        QCOMPARE(run("xclip", {"-selection", "clipboard", "-o", "-t", "UTF8_STRING"}),
            QByteArray("dernier"));

        // The next copy takes over, and the keeper goes.
        QProcess next;
        next.start(TAVO_CLIPBOARD_OWNER, {"text/plain=suivant"});
        QVERIFY(next.waitForReadyRead(5000));
        QTRY_COMPARE_WITH_TIMEOUT(keepers(), 0, 5000);
        QCOMPARE(run("xclip", {"-selection", "clipboard", "-o"}), QByteArray("suivant"));
        next.kill();
        next.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestKeeper)
#include "TestKeeper.moc"
