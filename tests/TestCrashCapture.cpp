#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// Each case runs the crash child, which installs crash capture and then dies; what it leaves in
// its data folder is compared byte for byte, and its death with the one it would have had.
class TestCrashCapture : public QObject
{
    Q_OBJECT

private:
    // Runs the child with `dataHome` as its XDG_DATA_HOME; the wait status as waitpid gives it.
    static int runChild(const QString &how, const QString &dataHome)
    {
        // Everything exec needs is made before fork: the child may not allocate.
        const QByteArray binary = CRASH_CHILD;
        const QByteArray argument = how.toUtf8();
        char *argv[] = {const_cast<char *>(binary.constData()),
            const_cast<char *>(argument.constData()), nullptr};
        QList<QByteArray> variables;
        for (char **variable = environ; *variable; ++variable) {
            if (!QByteArray(*variable).startsWith("XDG_DATA_HOME="))
                variables.append(*variable);
        }
        variables.append("XDG_DATA_HOME=" + QFile::encodeName(dataHome));
        std::vector<char *> envp;
        for (QByteArray &variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);

        const pid_t pid = fork();
        if (pid == 0) {
            // No core files from the crashes we cause on purpose.
            const rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);
            execve(argv[0], argv, envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }

private Q_SLOTS:
    void recordAndDeath_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("header");
        QTest::addColumn<int>("frames"); // exactly this many, or 0 for 1 to 30
        QTest::addColumn<QString>("frameName"); // a function that must be among the frames

        QTest::newRow("raise SIGABRT") << "SIGABRT" << SIGABRT << "Signal 6" << 0 << "";
        QTest::newRow("raise SIGSEGV") << "SIGSEGV" << SIGSEGV << "Signal 11" << 0 << "";
        QTest::newRow("raise SIGILL") << "SIGILL" << SIGILL << "Signal 4" << 0 << "";
        QTest::newRow("raise SIGBUS") << "SIGBUS" << SIGBUS << "Signal 7" << 0 << "";
        QTest::newRow("raise SIGFPE") << "SIGFPE" << SIGFPE << "Signal 8" << 0 << "";
        QTest::newRow("raise SIGTRAP") << "SIGTRAP" << SIGTRAP << "Signal 5" << 0 << "";
        QTest::newRow("segfault") << "segfault" << SIGSEGV << "Signal 11" << 0 << "segfaultHere";
        QTest::newRow("abort") << "abort" << SIGABRT << "Signal 6" << 0 << "";
        QTest::newRow("division by zero") << "divide" << SIGFPE << "Signal 8" << 0 << "";
        // Only the alternate signal stack lets the handler run at all here.
        QTest::newRow("stack overflow")
            << "overflow" << SIGSEGV << "Signal 11" << 30 << "overflowHere";
        QTest::newRow("deep stack") << "deep" << SIGSEGV << "Signal 11" << 30 << "segfaultHere";
        QTest::newRow("other thread")
            << "thread-segfault" << SIGSEGV << "Signal 11" << 0 << "segfaultHere";
        QTest::newRow("stack overflow on another thread")
            << "thread-overflow" << SIGSEGV << "Signal 11" << 30 << "overflowHere";
        // The abort after an uncaught exception must not replace its record with "Signal 6".
        QTest::newRow("runtime_error") << "runtime_error" << SIGABRT
                                       << "Exception: std::runtime_error : abc" << 0 << "throwAbc";
        QTest::newRow("not a std::exception")
            << "not-std" << SIGABRT << "Exception: NotStd : " << 0 << "throwNotStd";
        QTest::newRow("exception on another thread")
            << "thread-throw" << SIGABRT << "Exception: std::runtime_error : abc" << 0
            << "throwAbc";
    }

    void recordAndDeath()
    {
        QFETCH(QString, how);
        QFETCH(int, signal);
        QFETCH(QString, header);
        QFETCH(int, frames);
        QFETCH(QString, frameName);

        QTemporaryDir home;
        const int status = runChild(how, home.path());
        QVERIFY2(WIFSIGNALED(status), qPrintable(QString::number(status)));
        QCOMPARE(WTERMSIG(status), signal);

        const QDir folder(home.filePath("OrvaneTavo"));
        // One whole record and no temporary left behind.
        QCOMPARE(folder.entryList(QDir::Files), QStringList{"pending-crash.txt"});
        QFile file(folder.filePath("pending-crash.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();

        const QByteArray prefix = header.toUtf8() + "\n---\n";
        QVERIFY2(record.startsWith(prefix), record.constData());
        QVERIFY2(!record.endsWith('\n'), record.constData());
        const QList<QByteArray> lines = record.mid(prefix.size()).split('\n');
        if (frames > 0)
            QCOMPARE(lines.size(), frames);
        else
            QVERIFY2(
                lines.size() >= 1 && lines.size() <= 30, qPrintable(QString::number(lines.size())));
        // Each line is one frame as backtrace_symbols gives it.
        const QRegularExpression frame(R"(^\S.*\[0x[0-9a-f]+\]$)");
        for (const QByteArray &line : lines)
            QVERIFY2(frame.match(QString::fromUtf8(line)).hasMatch(), line.constData());
        if (!frameName.isEmpty())
            QVERIFY2(record.contains(frameName.toUtf8()), record.constData());
    }

    void laterRecordReplacesEarlier()
    {
        QTemporaryDir home;
        runChild("runtime_error", home.path());
        const int status = runChild("SIGBUS", home.path());
        QCOMPARE(WTERMSIG(status), SIGBUS);
        QFile file(home.filePath("OrvaneTavo/pending-crash.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();
        QVERIFY2(record.startsWith("Signal 7\n---\n"), record.constData());
        QVERIFY(!record.contains("Exception"));
    }
};

QTEST_GUILESS_MAIN(TestCrashCapture)
#include "TestCrashCapture.moc"
