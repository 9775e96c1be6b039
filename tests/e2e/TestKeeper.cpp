// The last clean copy outlives the application: X11 keeps a copy in its owner, so on quit a
// keeper process (the same binary, serve-only) takes it over until the next copy. The keeper
// takes only the private file the quitting copy made, since it deletes what it reads.
#include "AppHome.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <unistd.h>

class TestKeeper : public QObject
{
    Q_OBJECT

private:
    AppHome m_home;

    static QByteArray clipboard()
    {
        return runTool("xclip", {"-selection", "clipboard", "-o"}).trimmed();
    }

    // The keeper processes started from our binary that are still running.
    // Keepers on this test's display only: other tests running at the same time leave keepers
    // of their own.
    static int keepers()
    {
        const QByteArray display = "\0DISPLAY=" + qgetenv("DISPLAY") + '\0';
        int count = 0;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
            QFile cmdline("/proc/" + pid + "/cmdline"), environ("/proc/" + pid + "/environ");
            count += cmdline.open(QIODevice::ReadOnly)
                && cmdline.readAll().startsWith(ORVANETAVO_BINARY "\0--keep-clipboard")
                && environ.open(QIODevice::ReadOnly)
                && ('\0' + environ.readAll()).contains(display);
        }
        return count;
    }

    // Another program copies; true once it lost the clipboard (to us) within the time given.
    bool copyCleanedWithin(const QStringList &targets, int ms)
    {
        QProcess owner;
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
        QVERIFY(m_home.writeSettings({{"OTOnboarded", true}}));
        QProcess app;
        app.setProcessEnvironment(m_home.environment());
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(ORVANETAVO_BINARY);
        QTRY_VERIFY_WITH_TIMEOUT(!appWindows().isEmpty(), 20000);
        bool cleaned = false;
        for (int attempt = 0; attempt < 10 && !cleaned; ++attempt)
            cleaned = copyCleanedWithin({"text/html=<b>gras</b>", "text/plain=dernier"}, 1600);
        QVERIFY(cleaned);

        if (terminated)
            app.terminate();
        else
            runTool("xdotool", {"windowfocus", "--sync", appWindows().first(), "key", "ctrl+q"});
        QVERIFY(app.waitForFinished(10000) && app.exitStatus() == QProcess::NormalExit);
        QCOMPARE(std::pair(keepers(), clipboard()), std::pair(1, QByteArray("dernier")));

        // The next copy takes over, and the keeper goes.
        QProcess next;
        next.start(TAVO_CLIPBOARD_OWNER, {"text/plain=suivant"});
        QVERIFY(next.waitForReadyRead(5000));
        QTRY_COMPARE_WITH_TIMEOUT(
            std::pair(keepers(), clipboard()), std::pair(0, QByteArray("suivant")), 5000);
        next.kill();
        next.waitForFinished();
    }

    // Whatever else it is given, the keeper says why on one line of stderr, ends with status 2
    // and leaves everything as it was, the user's own file above all.
    void refusesAnyOtherFile_data()
    {
        // Shell that makes $F from the user's private file $U; $K is a folder made as ours.
        QTest::addColumn<QString>("make");
        QTest::newRow("a file in the home") << "F=$U";
        QTest::newRow("folder named otherwise") << "K=$(mktemp -d); F=$K/t; cp $U $F";
        QTest::newRow("our name elsewhere") << "K=$(mktemp -dp ~ $P); F=$K/t; cp $U $F";
        QTest::newRow("folder open to others") << "chmod 755 $K; cp $U $F";
        QTest::newRow("file open to others") << "cp $U $F; chmod 644 $F";
        QTest::newRow("link to the user's file") << "ln -s $U $F";
        QTest::newRow("second name of the user's file") << "ln $U $F";
        QTest::newRow("FIFO") << "mkfifo -m 600 $F";
        QTest::newRow("another user's file") << "cp $U $F; chown 65534 $F";
    }

    void refusesAnyOtherFile()
    {
        QFETCH(QString, make);
        if (make.contains("chown") && ::getuid() != 0)
            QSKIP("needs root to give a file to another user");
        QProcess shell;
        shell.setProcessEnvironment(m_home.environment());
        const QString script
            = "U=~/anyfile; printf secret >$U; chmod 600 $U; P=orvanetavo-keep-XXXXXX; "
              "O=$(mktemp -dt $P); K=$O; F=$K/text; "
            + make
            + "; echo $F; "
              "\"$0\" --keep-clipboard $F 0; echo $?; [ -e $F -o -L $F ] && cat $U; "
              "rm -rf $O $K";
        shell.start("sh", {"-c", script, ORVANETAVO_BINARY});
        QVERIFY(shell.waitForFinished(10000));
        const QList<QByteArray> out = shell.readAllStandardOutput().split('\n');
        const QByteArray said = shell.readAllStandardError();
        QVERIFY2(said.count('\n') == 1 && said.contains(out[0] + ":"), said.constData());
        QCOMPARE(out.mid(1), QList<QByteArray>({"2", "secret"}));
        QVERIFY(clipboard() != "secret");
    }
};

QTEST_GUILESS_MAIN(TestKeeper)
#include "TestKeeper.moc"
