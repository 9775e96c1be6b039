// The last clean copy outlives the application: X11 keeps a copy in its owner, so on quit a
// keeper process (the same binary, serve-only) takes it over until the next copy. The keeper
// takes only the private file the quitting copy made, since it deletes what it reads.
#include "AppHome.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>
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
    static int keepers()
    {
        int count = 0;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
            QFile cmdline("/proc/" + pid + "/cmdline");
            count += cmdline.open(QIODevice::ReadOnly)
                && cmdline.readAll().startsWith(ORVANETAVO_BINARY "\0--keep-clipboard");
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
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(keepers(), 1);
        QCOMPARE(clipboard(), QByteArray("dernier"));

        // The next copy takes over, and the keeper goes.
        QProcess next;
        next.start(TAVO_CLIPBOARD_OWNER, {"text/plain=suivant"});
        QVERIFY(next.waitForReadyRead(5000));
        QTRY_COMPARE_WITH_TIMEOUT(keepers(), 0, 5000);
        QCOMPARE(clipboard(), QByteArray("suivant"));
        next.kill();
        next.waitForFinished();
    }

    // Whatever else it is given, the keeper says why on stderr, ends with status 2, and leaves
    // the thing, and the user's own file, as they were.
    void refusesAnyOtherFile_data()
    {
        QTest::addColumn<QString>("folder"); // its name's start; in the temporary folder
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("fileMode");
        const QString ours = "orvanetavo-keep-";
        QTest::newRow("a file in the home") << "" << 0700 << "file" << 0600;
        QTest::newRow("folder named otherwise") << "other-" << 0700 << "file" << 0600;
        QTest::newRow("our folder's name elsewhere") << "~/" + ours << 0700 << "file" << 0600;
        QTest::newRow("folder open to others") << ours << 0755 << "file" << 0600;
        QTest::newRow("file open to others") << ours << 0700 << "file" << 0644;
        QTest::newRow("link to the user's file") << ours << 0700 << "link" << 0600;
        QTest::newRow("second name of the user's file") << ours << 0700 << "hardlink" << 0600;
        QTest::newRow("FIFO") << ours << 0700 << "fifo" << 0600;
        QTest::newRow("another user's file") << ours << 0700 << "foreign" << 0600;
    }

    void refusesAnyOtherFile()
    {
        QFETCH(QString, folder);
        QFETCH(int, folderMode);
        QFETCH(QString, kind);
        QFETCH(int, fileMode);
        if (kind == "foreign" && ::getuid() != 0)
            QSKIP("needs root to give a file to another user");
        const QString users = m_home.filePath("anyfile");
        QFile file(users);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("secret") == 6);
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));

        QString path = users;
        QByteArray dir;
        if (!folder.isEmpty()) {
            dir = QFile::encodeName(folder.startsWith("~/") ? m_home.filePath(folder.mid(2))
                                                            : QDir::tempPath() + "/" + folder)
                + "XXXXXX";
            QVERIFY(::mkdtemp(dir.data()) && ::chmod(dir.constData(), folderMode) == 0);
            path = QFile::decodeName(dir) + "/text";
        }
        const auto removeDir = qScopeGuard([&] {
            if (!dir.isEmpty())
                QDir(QFile::decodeName(dir)).removeRecursively();
        });
        const QByteArray name = QFile::encodeName(path);
        if (kind == "link")
            QVERIFY(::symlink(QFile::encodeName(users).constData(), name.constData()) == 0);
        else if (kind == "hardlink")
            QVERIFY(::link(QFile::encodeName(users).constData(), name.constData()) == 0);
        else if (kind == "fifo")
            QVERIFY(::mkfifo(name.constData(), fileMode) == 0);
        else if (!dir.isEmpty())
            QVERIFY(QFile::copy(users, path) && ::chmod(name.constData(), fileMode) == 0
                && (kind != "foreign" || ::chown(name.constData(), 65534, 65534) == 0));

        QProcess keeper;
        keeper.start(ORVANETAVO_BINARY, {"--keep-clipboard", path, "0"});
        QVERIFY(keeper.waitForFinished(5000));
        QCOMPARE(keeper.exitCode(), 2);
        const QByteArray said = keeper.readAllStandardError();
        QVERIFY2(said.count('\n') == 1 && said.contains(name), said.constData());
        struct stat info;
        QCOMPARE(::lstat(name.constData(), &info), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("secret"));
        QVERIFY(clipboard() != "secret");
    }
};

QTEST_GUILESS_MAIN(TestKeeper)
#include "TestKeeper.moc"
