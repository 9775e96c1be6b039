// Also the child that dies: run with "-die HOW HOME", it installs crash capture as the
// application does and dies that way. Built at -O0 and exported (see CMakeLists) so its frames
// carry names.
#include "FeedServer.h"
#include "diagnostics/CrashCapture.h"
#include "diagnostics/CrashReporter.h"
#include "settings/TavoSettings.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QtEndian>

#include <csignal>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

// clang-format off
// A system crash report made for a test: a journal entry of an executable (name) or an apport
// file (name), dated `second` seconds after the test's base date.
struct Made { bool journal; QString name; int second; QByteArray text; };
// The mark stored before (invalid for none), the reports, the messages sent (sorted) and the
// mark after, in seconds after the base.
struct Scan { QVariant mark; QList<Made> reports; QStringList messages; int newMark; };
// One start: what the run before left at the record's path ("link" makes a link to /dev/zero),
// how the service answers, then the records sent ("message\n---\nstack") and the folder.
struct Start { QByteArray record; int status; QStringList sent; QStringList left; };
// How the child dies, its signal, the record's first line, how many frames follow the first (a
// count or a range, as a regular expression says them) and a function that must be among them.
struct Death { QByteArray how; int signal; QByteArray header, more = "0,29", frameName = {}; };
// clang-format on

extern "C" {
volatile int zero = 0, sink = 0;
__attribute__((noinline)) int overflowHere(int depth)
{
    volatile char pad[256];
    pad[0] = char(depth);
    return zero == 0 ? overflowHere(depth + 1) + pad[0] : 0; // the compiler can't drop it
}
// Code after the throw keeps the return address inside the function, so the frame is named
// after it and not after whatever the linker placed next.
__attribute__((noinline)) void throwHere()
{
    if (zero == 0)
        throw std::runtime_error("abc");
    sink = 1;
}
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
    // A day ago, 7 ms past a second, which the mark must keep; journal entries carry 456 µs
    // more, which it can't hold.
    const QDateTime m_base = QDateTime::fromMSecsSinceEpoch(
        (QDateTime::currentSecsSinceEpoch() - 86400) * 1000 + 7, Qt::UTC);

    // One start's look at the pending record and `sources`, which holds up nothing: what was
    // posted to /api/crash.php once the look has ended and `expected` came, and a moment more for
    // any that should not, as "message\n---\nstack", sorted. An upload never makes an identifier.
    QStringList look(qsizetype expected, const QList<SystemCrashReports::Source> &sources)
    {
        m_server.received.clear();
        const auto ended = std::make_shared<bool>(false);
        const QDeadlineTimer holdUp(1500);
        CrashReporter::sendCrashes(sources, [ended] { *ended = true; });
        if (holdUp.hasExpired())
            QTest::qFail("the look held up its caller", __FILE__, __LINE__);
        if (!QTest::qWaitFor([&] { return *ended && m_server.received.size() >= expected; }, 15000))
            QTest::qFail("the look did not end with all it should send", __FILE__, __LINE__);
        QTest::qWait(200);
        QStringList sent;
        for (const FeedServer::Request &request : std::as_const(m_server.received)) {
            const QJsonObject body = QJsonDocument::fromJson(request.body).object();
            if (body.value("d") != "?" || body.value("kind") != "crash")
                QTest::qFail(request.body.constData(), __FILE__, __LINE__);
            sent.append(
                body.value("message").toString() + "\n---\n" + body.value("stack").toString());
        }
        sent.sort();
        return sent;
    }

    // Last modified at `modified`, when given.
    static bool write(const QString &path, const QByteArray &bytes, const QDateTime &modified = {})
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
            && (modified.isNull() || file.setFileTime(modified, QFileDevice::FileModificationTime));
    }

    // Real journal and apport files, in a journal file written by systemd-journal-remote from
    // the export format and a folder; the two sources that read them.
    QList<SystemCrashReports::Source> makeSources(const QList<Made> &reports) const
    {
        QByteArray entries;
        const QString folder = m_dir.filePath("crash"), journal = m_dir.filePath("made.journal");
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        QFile::remove(journal);
        for (const Made &made : reports) {
            if (!made.journal)
                write(folder + "/" + made.name, made.text, m_base.addSecs(made.second));
            const qint64 usec = m_base.addSecs(made.second).toMSecsSinceEpoch() * 1000 + 456;
            const quint64 size = qToLittleEndian(quint64(made.text.size()));
            // MESSAGE in its binary form, as one with line feeds needs.
            if (made.journal)
                entries += "__REALTIME_TIMESTAMP=" + QByteArray::number(usec)
                    + "\n__MONOTONIC_TIMESTAMP=" + QByteArray::number(made.second + 100000)
                    + "000\n_BOOT_ID=0123456789abcdef0123456789abcdef\n"
                      "MESSAGE_ID=fc2e22bc6ee647b6b90729ab34a250b1\nCOREDUMP_UID="
                    + QByteArray::number(getuid()) + "\nCOREDUMP_EXE=" + made.name.toUtf8()
                    + "\nMESSAGE\n" + QByteArray(reinterpret_cast<const char *>(&size), 8)
                    + made.text + "\n\n";
        }
        QProcess remote;
        if (write(m_dir.filePath("export"), entries))
            remote.start(JOURNAL_REMOTE, {"--output=" + journal, m_dir.filePath("export")});
        if (!remote.waitForFinished(20000) || remote.exitCode() != 0)
            qFatal("systemd-journal-remote failed: %s", remote.readAllStandardError().constData());
        return {[journal](const QDateTime &after) {
                    return SystemCrashReports::fromJournal(after, {journal});
                },
            [folder](const QDateTime &) { return SystemCrashReports::fromApport(folder); }};
    }

private Q_SLOTS:
    void initTestCase()
    {
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

    void recordAndDeath()
    {
        QList<Death> deaths;
        for (const int signal : {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP})
            deaths.append(
                {QByteArray::number(signal), signal, "Signal " + QByteArray::number(signal)});
        // clang-format off
        deaths += QList<Death>{
            // A stack overflow: only the alternate signal stack lets the handler run at all.
            {"overflow", SIGSEGV, "Signal 11", "29", "overflowHere"}, {"thread-overflow", SIGSEGV, "Signal 11", "29", "overflowHere"},
            // The abort after an uncaught exception must not replace its record with "Signal 6".
            {"runtime_error", SIGABRT, "Exception: std::runtime_error : abc", "0,29", "throwHere"}};
        // clang-format on
        for (const Death &death : deaths) {
            // A temporary that two threads dying at once left behind goes at the next start.
            QTemporaryDir home;
            QVERIFY(QDir(home.path()).mkdir("OrvaneTavo")
                && write(home.filePath("OrvaneTavo/pending-crash.txt.99.tmp"), "Signal 6"));
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), {"-die", death.how, home.path()});
            QVERIFY(child.waitForFinished(20000));
            QCOMPARE(std::pair(child.exitStatus(), child.exitCode()),
                std::pair(QProcess::CrashExit, death.signal));
            // One whole record and no temporary left behind. Each frame is a line as
            // backtrace_symbols gives it, the last without a line feed.
            const QDir folder(home.filePath("OrvaneTavo"));
            QCOMPARE(folder.entryList(QDir::Files), QStringList{"pending-crash.txt"});
            QFile file(folder.filePath("pending-crash.txt"));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString record = QString::fromUtf8(file.readAll()),
                          frame = R"(\S[^\n]*\[0x[0-9a-f]+\])";
            const QRegularExpression whole(QRegularExpression::anchoredPattern(
                QRegularExpression::escape(death.header + "\n---\n") + "(" + frame + "\n){"
                + death.more + "}" + frame));
            QVERIFY2(whole.match(record).hasMatch() && record.contains(death.frameName),
                qPrintable(record));
        }
    }

    void pendingRecord()
    {
        const QStringList aside{"pending-crash.txt.try1"};
        // Two bytes a character: the bound falls inside one, which is left out.
        const QString long_(40000, QChar(0xe9));
        // clang-format off
        const QList<QList<Start>> runs = {
            {{"", 201, {"\n---\n"}, {}}}, {{"Signal 4", 200, {"Signal 4\n---\n"}, {}}}, // empty, no separator
            {{"Exception: E : a\n---\nb\n---\nf0", 200, {"Exception: E : a\n---\nb"}, {}}}, // the reason holds the separator
            {{"Signal 6\n---\n" + long_.toUtf8(), 200, {"Signal 6\n---\n" + long_.left((64 * 1024 - 13) / 2)}, {}}}, // longer than a record
            {{"Signal 11\n---\n\xff", 200, {}, aside}}, {{"link", 200, {}, aside}}, // not UTF-8, a link to /dev/zero
            // Refused at three starts, then dropped.
            {{"é", 500, {"é\n---\n"}, aside}, {{}, 503, {"é\n---\n"}, {"pending-crash.txt.try2"}},
                {{}, 404, {"é\n---\n"}, {"pending-crash.txt.try3"}}, {{}, 200, {}, {}}},
            {{"one", 500, {"one\n---\n"}, aside}, {"two", 200, {"one\n---\n", "two\n---\n"}, {}}}}; // a crash while one waits: both go
        // clang-format on
        for (const QList<Start> &starts : runs) {
            init();
            for (const Start &start : starts) {
                if (start.record == "link")
                    QCOMPARE(symlink("/dev/zero", QFile::encodeName(m_record)), 0);
                else if (!start.record.isNull())
                    QVERIFY(write(m_record, start.record));
                m_server.routes["/api/crash.php"] = {start.status, "{}"};
                QCOMPARE(look(start.sent.size(), {}), start.sent);
                QTRY_COMPARE(QDir(m_folder).entryList(QDir::Files | QDir::System), start.left);
            }
        }
    }

    void systemReportsAreForwardedOnce()
    {
        const QString ours = "/usr/bin/orvanetavo", apport = "_usr_bin_orvanetavo.0.crash";
        const QString fallback = "Rapport système Linux";
        // clang-format off
        const Scan scans[] = {
            // Neither those older than the mark nor those of its very date; the latest date kept.
            // The message is the first line, in file order and untrimmed, that names the cause.
            {m_base.addSecs(5), {{true, ours, 4, "j"}, {false, apport, 2, "a"}, {true, ours, 5, "j"},
                {false, "_opt_orvanetavo-bin.0.crash", 5, "a"}, {true, ours, 6, "\n\n  Exception 6 \r\nz"},
                {false, "_usr_local_bin_orvanetavo.0.crash", 8, "Exception 8"},
                {true, "/opt/x/orvanetavo-bin", 7, "a\nTermination 7\nException"}},
            {"  Exception 6 \r", "Exception 8", "Termination 7"}, 8},
            // A wrong-typed mark resends all.
            {"hier", {{true, ours, -900, "j"}, {false, apport, 2, "exception\ntermination"}}, {fallback, fallback}, 2},
            // Other programs are ignored.
            {{}, {{true, "/usr/bin/firefox", 1, "j"}, {true, "/home/u/orvanetavo/firefox", 1, "j"},
                {false, "_usr_bin_firefox.0.crash", 1, "a"}, {false, "_usr_bin_orvanetavo.0.crash.txt", 1, "a"},
                {false, "orvanetavo.crash", 1, "a"}, {false, apport, 1, "Termination ours"}},
            {"Termination ours"}, 1},
            // Not UTF-8: skipped without moving the mark, so it is tried again next time.
            {{}, {{false, apport, 4, "Exception \xff"}, {true, ours, 3, "x"}}, {fallback}, 3},
            // A report can hold a core dump: only its head is read.
            {{}, {{false, apport, 1, QByteArray(300 * 1024, 'x') + "\nException late"}}, {fallback}, 1}};
        // clang-format on
        const QRegularExpression stack("(?s)\n---\n.*"); // what follows the message, over lines
        for (const Scan &scan : scans) {
            init();
            if (scan.mark.isValid())
                store.setObject(TavoSettings::lastCrashScanKey, scan.mark);
            const QList<SystemCrashReports::Source> sources = makeSources(scan.reports);
            QCOMPARE(
                look(scan.messages.size(), sources).replaceInStrings(stack, ""), scan.messages);
            QCOMPARE(store.date(TavoSettings::lastCrashScanKey), m_base.addSecs(scan.newMark));
            QCOMPARE(look(0, sources).size(), 0); // a second look finds nothing new
        }
    }

    // A place on a file system that hangs does not hold up the caller.
    void placesThatHangHoldUpNothing()
    {
        look(0, {[](const QDateTime &) {
            QThread::sleep(2);
            return SystemCrashReports::Listing();
        }});
    }

    // 18000 characters as the reader counts them: a surrogate pair or a letter with its accent
    // stays whole.
    void stackKeepsWholeCharacters()
    {
        const QString x(17999, 'x'), accented = "e\u0301";
        QCOMPARE(SystemCrashReports::stackOf(x + "😀😀"), x + "😀");
        QCOMPARE(SystemCrashReports::stackOf(x + accented + accented), x + accented);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4 || qstrcmp(argv[1], "-die") != 0) {
        TestCrashReporter test;
        return QTest::qExec(&test, argc, argv);
    }
    const rlimit none{0, 0}; // no core files from the crashes we cause on purpose
    setrlimit(RLIMIT_CORE, &none);
    qputenv("XDG_DATA_HOME", argv[3]);
    qputenv("XDG_CONFIG_HOME", QByteArray(argv[3]) + "/config");
    CrashReporter::install();
    // The look at the last run's record ends first: one still under way when the record is
    // written sets it aside as already sent once.
    QThreadPool::globalInstance()->waitForDone(10000);
    const QByteArray how = argv[2];
    raise(how.toInt()); // a signal by its number; the others read as 0, which raises nothing
    if (how == "overflow")
        sink = overflowHere(0);
    else if (how == "thread-overflow")
        std::thread([] {
            CrashCapture::prepareThread();
            sink = overflowHere(0);
        }).join();
    throwHere();
    return 3;
}
#include "TestCrashReporter.moc"
