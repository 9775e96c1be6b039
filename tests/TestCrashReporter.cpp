#include "FeedServer.h"
#include "diagnostics/CrashReporter.h"
#include "settings/TavoSettings.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// A system crash report made for a test: an entry of a journal file or an apport-style file.
struct Made
{
    bool journal;
    QString name; // the executable (journal) or the file name (apport)
    int second; // its date, in seconds after the test's base date
    QByteArray text;
};
Q_DECLARE_METATYPE(QList<Made>)

// Calls reportError from `depth` frames further in, more than it sends.
__attribute__((noinline)) void reportFromDepth(int depth)
{
    if (depth == 0)
        CrashReporter::reportError("");
    else
        reportFromDepth(depth - 1);
    asm volatile(""); // not a tail call: each level keeps its frame
}

class TestCrashReporter : public QObject
{
    Q_OBJECT

private:
    const SettingsStore &store = TavoSettings::defaults();
    FeedServer m_server;
    QTemporaryDir m_dir;
    const QString m_folder = qEnvironmentVariable("XDG_DATA_HOME") + "/OrvaneTavo";
    const QString m_record = m_folder + "/pending-crash.txt";
    // Whole seconds, a day ago; journal entries carry 456 µs more, which the mark can't hold.
    const QDateTime m_base
        = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 86400, Qt::UTC);

    // One start's look at `sources` and the pending record: the bodies posted to /api/crash.php,
    // waited for until the look has ended and `expected` have come, then a moment more for any
    // that should not have.
    QList<QJsonObject> look(int expected, const QList<SystemCrashReports::Source> &sources = {})
    {
        m_server.received.clear();
        CrashReporter::sendCrashes(sources, [] { CrashReporter::send("sentinel", "", ""); });
        QList<QJsonObject> bodies;
        bool ended = false;
        const auto arrived = [&] {
            bodies.clear();
            for (const FeedServer::Request &request : std::as_const(m_server.received)) {
                const QJsonObject body = QJsonDocument::fromJson(request.body).object();
                ended = ended || body.value("kind") == "sentinel";
                if (request.path == "/api/crash.php" && body.value("kind") != "sentinel")
                    bodies.append(body);
            }
            return ended && bodies.size() >= expected;
        };
        if (!QTest::qWaitFor(arrived, 15000))
            QTest::qFail("the look did not end with what it should send", __FILE__, __LINE__);
        QTest::qWait(200);
        arrived();
        return bodies;
    }

    static QStringList field(const QList<QJsonObject> &bodies, const QString &key)
    {
        QStringList values;
        for (const QJsonObject &body : bodies)
            values.append(body.value(key).toString());
        values.sort();
        return values;
    }

    QStringList entries() const
    {
        return QDir(m_folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }

    bool write(const QString &path, const QByteArray &bytes) const
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) >= 0;
    }

    // Runs the crash child with its XDG folders in `home`; the wait status as waitpid gives it.
    static int runChild(const QString &how, const QString &home)
    {
        // Everything exec needs is made before fork: the child may not allocate.
        const QByteArray binary = CRASH_CHILD, argument = how.toUtf8();
        char *argv[] = {const_cast<char *>(binary.constData()),
            const_cast<char *>(argument.constData()), nullptr};
        QList<QByteArray> variables{"XDG_DATA_HOME=" + QFile::encodeName(home),
            "XDG_CONFIG_HOME=" + QFile::encodeName(home) + "/config"};
        for (char **variable = environ; *variable; ++variable) {
            if (!QByteArray(*variable).startsWith("XDG_"))
                variables.append(*variable);
        }
        std::vector<char *> envp;
        for (QByteArray &variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const rlimit none{0, 0}; // no core files from the crashes we cause on purpose
            setrlimit(RLIMIT_CORE, &none);
            execve(argv[0], argv, envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }

    // A real journal file, written by systemd-journal-remote from the export format.
    QString makeJournal(const QList<Made> &entries) const
    {
        QByteArray export_;
        for (const Made &made : entries) {
            if (!made.journal)
                continue;
            const qint64 usec = m_base.addSecs(made.second).toMSecsSinceEpoch() * 1000 + 456;
            const quint64 size = qToLittleEndian(quint64(made.text.size()));
            export_ += "__REALTIME_TIMESTAMP=" + QByteArray::number(usec)
                + "\n__MONOTONIC_TIMESTAMP=" + QByteArray::number(made.second + 100000)
                + "000\n_BOOT_ID=0123456789abcdef0123456789abcdef\n"
                  "MESSAGE_ID=fc2e22bc6ee647b6b90729ab34a250b1\nCOREDUMP_UID="
                + QByteArray::number(getuid()) + "\nCOREDUMP_EXE="
                + made.name.toUtf8()
                // The binary form, as a MESSAGE with line feeds needs.
                + "\nMESSAGE\n" + QByteArray(reinterpret_cast<const char *>(&size), 8) + made.text
                + "\n\n";
        }
        const QString exportFile = m_dir.filePath("entries.export");
        const QString journal = m_dir.filePath("made.journal");
        QFile::remove(journal);
        if (!write(exportFile, export_))
            qFatal("can't write the export file");
        QProcess remote;
        remote.start(JOURNAL_REMOTE, {"--output=" + journal, exportFile});
        if (!remote.waitForFinished(20000) || remote.exitCode() != 0)
            qFatal("systemd-journal-remote failed: %s", remote.readAllStandardError().constData());
        return journal;
    }

    QString makeApportFolder(const QList<Made> &files) const
    {
        const QString folder = m_dir.filePath("crash");
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        for (const Made &made : files) {
            QFile file(folder + "/" + made.name);
            if (made.journal || !file.open(QIODevice::WriteOnly))
                continue;
            file.write(made.text);
            file.flush(); // a later flush would set the date again
            file.setFileTime(m_base.addSecs(made.second), QFileDevice::FileModificationTime);
        }
        return folder;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.start(false));
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        qputenv("ORVANE_SERVICE_CA", m_server.certificatePath().toUtf8());
    }

    void init()
    {
        QFile::remove(store.fileName());
        QDir(m_folder).removeRecursively();
        QDir().mkpath(m_folder);
        m_server.routes["/api/crash.php"] = {200, "{}"};
    }

    void recordAndDeath_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("header");
        QTest::addColumn<int>("frames"); // exactly this many, or 0 for 1 to 30
        QTest::addColumn<QString>("frameName"); // a function that must be among the frames

        const int trapped[] = {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP};
        for (const int signal : trapped)
            QTest::addRow("%s", sigabbrev_np(signal))
                << QString("SIG") + sigabbrev_np(signal) << signal
                << "Signal " + QString::number(signal) << 0 << "";
        QTest::newRow("segfault") << "segfault" << SIGSEGV << "Signal 11" << 0 << "segfaultHere";
        // Only the alternate signal stack lets the handler run at all here.
        QTest::newRow("stack overflow")
            << "overflow" << SIGSEGV << "Signal 11" << 30 << "overflowHere";
        QTest::newRow("stack overflow on another thread")
            << "thread-overflow" << SIGSEGV << "Signal 11" << 30 << "overflowHere";
        // The abort after an uncaught exception must not replace its record with "Signal 6".
        QTest::newRow("runtime_error") << "runtime_error" << SIGABRT
                                       << "Exception: std::runtime_error : abc" << 0 << "throwAbc";
        QTest::newRow("not a std::exception")
            << "not-std" << SIGABRT << "Exception: NotStd : " << 0 << "throwNotStd";
    }

    void recordAndDeath()
    {
        QFETCH(QString, how);
        QFETCH(int, signal);
        QFETCH(QString, header);
        QFETCH(int, frames);
        QFETCH(QString, frameName);
        QTemporaryDir home;
        // Left by two threads that died at once in an earlier run: the start removes it.
        QVERIFY(QDir().mkpath(home.filePath("OrvaneTavo")));
        QVERIFY(write(home.filePath("OrvaneTavo/pending-crash.txt.4242.tmp"), "Signal 6\n---\n"));

        const int status = runChild(how, home.path());
        QVERIFY2(WIFSIGNALED(status), qPrintable(QString::number(status)));
        QCOMPARE(WTERMSIG(status), signal);
        // One whole record and no temporary left behind.
        const QDir folder(home.filePath("OrvaneTavo"));
        QCOMPARE(folder.entryList(QDir::Files), QStringList{"pending-crash.txt"});
        QFile file(folder.filePath("pending-crash.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();
        const QByteArray prefix = header.toUtf8() + "\n---\n";
        QVERIFY2(record.startsWith(prefix) && !record.endsWith('\n'), record.constData());
        const QList<QByteArray> lines = record.mid(prefix.size()).split('\n');
        QVERIFY2(frames ? lines.size() == frames : lines.size() <= 30, record.constData());
        // Each line is one frame as backtrace_symbols gives it.
        const QRegularExpression frame(R"(^\S.*\[0x[0-9a-f]+\]$)");
        for (const QByteArray &line : lines)
            QVERIFY2(frame.match(QString::fromUtf8(line)).hasMatch(), line.constData());
        QVERIFY2(record.contains(frameName.toUtf8()), record.constData());
    }

    void pendingRecord_data()
    {
        QTest::addColumn<QByteArray>("record"); // "FIFO" and "link" put those at the path
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("sent"); // message and stack, or nothing
        QTest::addColumn<QStringList>("left"); // the folder once the answer came

        const QStringList none;
        const QStringList aside{"pending-crash.txt.try1"};
        // Two bytes a character: the bound falls inside one, which is left out.
        const QString long_(40000, QChar(0xe9));
        QTest::newRow("signal") << QByteArray("Signal 11\n---\nf0\nf1") << 200
                                << QStringList{"Signal 11", "f0\nf1"} << none;
        QTest::newRow("service fails") << QByteArray("Exception: E : é\n---\nf0") << 500
                                       << QStringList{"Exception: E : é", "f0"} << aside;
        QTest::newRow("empty") << QByteArray() << 201 << QStringList{"", ""} << none;
        QTest::newRow("no separator")
            << QByteArray("Signal 4") << 200 << QStringList{"Signal 4", ""} << none;
        QTest::newRow("reason holds the separator")
            << QByteArray("Exception: E : a\n---\nb\n---\nf0") << 200
            << QStringList{"Exception: E : a", "b"} << none;
        QTest::newRow("longer than a record")
            << "Signal 6\n---\n" + long_.toUtf8() << 200
            << QStringList{"Signal 6", long_.left((64 * 1024 - 13) / 2)} << none;
        QTest::newRow("not UTF-8") << QByteArray("Signal 11\n---\n\xff") << 200 << none << aside;
        QTest::newRow("link to /dev/zero") << QByteArray("link") << 200 << none << aside;
        QTest::newRow("FIFO") << QByteArray("FIFO") << 200 << none << aside;
    }

    void pendingRecord()
    {
        QFETCH(QByteArray, record);
        QFETCH(int, status);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, left);
        if (record == "FIFO")
            QCOMPARE(mkfifo(QFile::encodeName(m_record).constData(), 0600), 0);
        else if (record == "link")
            QVERIFY(QFile::link("/dev/zero", m_record));
        else
            QVERIFY(write(m_record, record));
        m_server.routes["/api/crash.php"] = {status, "{}"};

        const QList<QJsonObject> bodies = look(sent.isEmpty() ? 0 : 1);
        QCOMPARE(bodies.size(), sent.isEmpty() ? 0 : 1);
        if (!sent.isEmpty()) {
            const QJsonObject expected{{"d", "?"}, {"kind", "crash"}, {"message", sent[0]},
                {"stack", sent[1]}, {"v", ORVANE_VERSION}, {"os", bodies.first().value("os")}};
            QCOMPARE(bodies.first(), expected);
        }
        // An upload never makes an identifier.
        QVERIFY(!store.contains(TavoSettings::deviceIdKey));
        QTRY_COMPARE(entries(), left);
    }

    void pendingRecordGoesUntilAcknowledged()
    {
        struct Start
        {
            QByteArray crash; // a record the run before left, if any
            int status;
            QStringList stacks; // what is sent
            QStringList left;
        };
        const Start starts[] = {{"one", 500, {"one"}, {"pending-crash.txt.try1"}},
            {"", 500, {"one"}, {"pending-crash.txt.try2"}},
            {"", 500, {"one"}, {"pending-crash.txt.try3"}},
            {"", 500, {}, {}}, // three starts sent it: dropped
            {"two", 500, {"two"}, {"pending-crash.txt.try1"}},
            // A crash while one waits: both go.
            {"three", 200, {"three", "two"}, {}}};
        for (const Start &start : starts) {
            if (!start.crash.isEmpty())
                QVERIFY(write(m_record, "Signal 11\n---\n" + start.crash));
            m_server.routes["/api/crash.php"] = {start.status, "{}"};
            QCOMPARE(field(look(int(start.stacks.size())), "stack"), start.stacks);
            QTRY_COMPARE(entries(), start.left);
        }
    }

    void readsOffTheWindowsThread()
    {
        auto ended = std::make_shared<bool>(false);
        QElapsedTimer timer;
        timer.start();
        CrashReporter::sendCrashes({[](const QDateTime &) {
            QThread::sleep(2); // a journal or a report on a file system that hangs
            return SystemCrashReports::Listing();
        }},
            [ended] { *ended = true; });
        QVERIFY(timer.elapsed() < 1000);
        QTRY_VERIFY_WITH_TIMEOUT(*ended, 5000);
    }

    void reportErrorSendsTheCallersFrames()
    {
        QVERIFY(write(m_record, "Signal 11\n---\nf0"));
        m_server.received.clear();
        reportFromDepth(20);
        QTRY_COMPARE(m_server.received.size(), 1);
        const QJsonObject body = QJsonDocument::fromJson(m_server.received.first().body).object();
        QCOMPARE(body.value("kind"), "error");
        QCOMPARE(body.value("message"), "");
        const QStringList frames = body.value("stack").toString().split('\n');
        QCOMPARE(frames.size(), 15);
        QVERIFY2(frames.first().contains("reportError"), qPrintable(frames.first()));
        // The program goes on and the pending record is not its business.
        QCOMPARE(entries(), QStringList{"pending-crash.txt"});
    }

    void systemReportsAreForwardedOnce_data()
    {
        QTest::addColumn<QVariant>("mark"); // stored before; invalid for none
        QTest::addColumn<QList<Made>>("reports");
        QTest::addColumn<QStringList>("messages"); // sent, sorted
        QTest::addColumn<int>("newMark"); // seconds after the base; -1 for the distant past

        const QString ours = "/usr/bin/orvanetavo";
        const QString apport = "_usr_bin_orvanetavo.0.crash";
        const QString fallback = "Rapport système Linux";
        QTest::newRow("equal date not sent")
            << QVariant(QDateTime(m_base.addSecs(10)))
            << QList<Made>{{true, ours, 10, "j"}, {false, apport, 10, "a"}} << QStringList() << 10;
        QTest::newRow("three new, the latest date kept")
            << QVariant(QDateTime(m_base))
            << QList<Made>{{true, ours, 1, "Exception one"}, {false, apport, 3, "Exception three"},
                   {true, "/opt/x/orvanetavo-bin", 2, "Exception two"}}
            << QStringList{"Exception one", "Exception three", "Exception two"} << 3;
        QTest::newRow("older than the mark")
            << QVariant(QDateTime(m_base.addSecs(5)))
            << QList<Made>{{true, ours, 4, "j"}, {false, apport, 2, "a"},
                   {true, ours, 6, "Exception new"}}
            << QStringList{"Exception new"} << 6;
        QTest::newRow("wrong-typed mark resends all")
            << QVariant("hier") << QList<Made>{{true, ours, -900, "j"}, {false, apport, 2, "a"}}
            << QStringList{fallback, fallback} << 2;
        QTest::newRow("nothing found, no mark")
            << QVariant() << QList<Made>{} << QStringList() << -1;
        QTest::newRow("other programs ignored")
            << QVariant()
            << QList<Made>{{true, "/usr/bin/firefox", 1, "j"},
                   {true, "/home/u/orvanetavo/firefox", 1, "j"},
                   {false, "_usr_bin_firefox.0.crash", 1, "a"},
                   {false, "_usr_bin_orvanetavo.0.crash.txt", 1, "a"},
                   {false, "orvanetavo.crash", 1, "a"}, {false, apport, 1, "Termination ours"}}
            << QStringList{"Termination ours"} << 1;
        // Skipped without moving the mark, so it is tried again next time.
        QTest::newRow("not UTF-8")
            << QVariant() << QList<Made>{{false, apport, 4, "Exception \xff"}, {true, ours, 3, "x"}}
            << QStringList{fallback} << 3;
        // A report can hold a core dump: only its head is read.
        QTest::newRow("long report")
            << QVariant()
            << QList<Made>{{false, apport, 1, QByteArray(300 * 1024, 'x') + "\nException late"}}
            << QStringList{fallback} << 1;
    }

    void systemReportsAreForwardedOnce()
    {
        QFETCH(QVariant, mark);
        QFETCH(QList<Made>, reports);
        QFETCH(QStringList, messages);
        QFETCH(int, newMark);
        if (mark.isValid())
            store.setObject(TavoSettings::lastCrashScanKey, mark);
        const QString journal = makeJournal(reports);
        const QString folder = makeApportFolder(reports);
        const QList<SystemCrashReports::Source> sources{[journal](const QDateTime &after) {
                                                            return SystemCrashReports::fromJournal(
                                                                after, {journal});
                                                        },
            [folder](const QDateTime &) { return SystemCrashReports::fromApport(folder); }};

        QCOMPARE(field(look(int(messages.size()), sources), "message"), messages);
        const QDateTime expected = newMark < 0 ? QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC)
                                               : m_base.addSecs(newMark);
        QCOMPARE(store.date(TavoSettings::lastCrashScanKey), expected);
        // A second look finds nothing new.
        QCOMPARE(look(0, sources).size(), 0);
    }

    void placesThatCantBeListedLeaveTheMark()
    {
        store.setObject(TavoSettings::lastCrashScanKey, "hier");
        look(0, {[](const QDateTime &) { return SystemCrashReports::fromApport("/nonexistent"); }});
        QCOMPARE(store.object(TavoSettings::lastCrashScanKey), QVariant("hier"));
    }

    void messageAndStack_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("stackSize");
        const QString fallback = "Rapport système Linux";
        QTest::newRow("file order") << "a\nTermination: x\nException y"
                                    << "Termination: x" << 0;
        QTest::newRow("untrimmed, blank lines skipped") << "\n\n  Exception y \r\nz"
                                                        << "  Exception y \r" << 0;
        QTest::newRow("case counts") << "exception\ntermination" << fallback << 0;
        QTest::newRow("50000 characters") << QString(50000, 'x') << fallback << 18000;
        // The cut never splits a character in two.
        QTest::newRow("surrogate pairs") << QString(17999, 'x') + "😀😀😀" << fallback << 18001;
        QTest::newRow("accents combined")
            << QString(17999, 'x') + QString("e\u0301").repeated(5) << fallback << 18001;
    }

    void messageAndStack()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        QFETCH(int, stackSize);
        QCOMPARE(SystemCrashReports::messageOf(text), message);
        const QString stack = SystemCrashReports::stackOf(text);
        QCOMPARE(stack.size(), stackSize ? stackSize : text.size());
        QVERIFY(text.startsWith(stack));
    }
};

QTEST_MAIN(TestCrashReporter)
#include "TestCrashReporter.moc"
