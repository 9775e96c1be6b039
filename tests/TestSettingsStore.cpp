#include "FakePasteboard.h"
#include "clipboard/TavoEngine.h"
#include "settings/SettingsStore.h"
#include "settings/TavoSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestSettingsStore : public QObject
{
    Q_OBJECT

private:
    SettingsStore store;

    QString path() const { return store.fileName(); }

    // Another program writes the file. The time stamp moves on each time, so the store cannot
    // take the new file for the one it read last.
    void writeFileAsAnotherProgram(const QByteArray &bytes)
    {
        static int generation = 0;
        QDir().mkpath(QFileInfo(path()).absolutePath());
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        QVERIFY(file.setFileTime(
            QDateTime::currentDateTime().addSecs(++generation), QFileDevice::FileModificationTime));
    }

    QJsonObject fileAsJson() const
    {
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

private Q_SLOTS:
    void init()
    {
        QDir(QFileInfo(path()).absolutePath()).removeRecursively();
        // A store call that blocks ends the test here rather than at the suite's time-out.
        ::alarm(20);
    }

    void cleanup() { ::alarm(0); }

    void switchesReadAsOnUnlessAStoredFalse_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("menuBarMode");
        QTest::newRow("no file") << QByteArray() << true << false;
        QTest::newRow("stored") << QByteArray(R"({"OTEnabled": false, "OTMenuBarMode": true})")
                                << false << true;
        QTest::newRow("a string") << QByteArray(R"({"OTEnabled": "false"})") << true << false;
    }

    void switchesReadAsOnUnlessAStoredFalse()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, enabled);
        QFETCH(bool, menuBarMode);
        if (!file.isEmpty())
            writeFileAsAnotherProgram(file);
        // Only a stored false turns the switch off; the ordinary Boolean read has absent false.
        QCOMPARE(TavoSettings::isEnabled(), enabled);
        QCOMPARE(store.boolValue(TavoSettings::menuBarModeKey), menuBarMode);
    }

    void everyTypeSurvivesAFreshReader()
    {
        const QDateTime when(QDate(2026, 12, 6), QTime(6, 7, 34, 123), Qt::UTC);
        const qint64 big = (qint64(1) << 53) + 1; // not representable as a double
        store.setBool("OTMenuBarMode", true);
        store.setInteger("OTCleanedCount", big);
        store.setObject("OTDeviceId", QString::fromUtf8("ÉTÉ-📄-\"quoted\""));
        store.setObject("OTShownMessages", QVariantList{3, 1, 2});
        store.setObject("OTLastCrashScan", when);

        QSettings fresh(path(), SettingsStore::format());
        QCOMPARE(fresh.value("OTMenuBarMode").typeId(), QMetaType::Bool);
        QCOMPARE(fresh.value("OTCleanedCount").typeId(), QMetaType::LongLong);
        QCOMPARE(fresh.value("OTCleanedCount").toLongLong(), big);
        QCOMPARE(fresh.value("OTDeviceId").toString(), QString::fromUtf8("ÉTÉ-📄-\"quoted\""));
        QCOMPARE(fresh.value("OTShownMessages").toList(), (QVariantList{3ll, 1ll, 2ll}));
        QCOMPARE(fresh.value("OTLastCrashScan").toDateTime(), when);
    }

    void corruptFileIsSetAsideNeverOverwritten_data()
    {
        QTest::addColumn<QByteArray>("garbage");
        QTest::newRow("truncated") << QByteArray(R"({"OTEnabled": fal)");
        QTest::newRow("not an object") << QByteArray("[1, 2]");
    }

    void corruptFileIsSetAsideNeverOverwritten()
    {
        QFETCH(QByteArray, garbage);
        writeFileAsAnotherProgram(garbage);

        QVERIFY(TavoSettings::isEnabled());
        store.setInteger("OTCleanedCount", 3);
        QCOMPARE(fileAsJson().keys(), QStringList{"OTCleanedCount"});

        QFile aside(path() + ".corrupt");
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), garbage);

        // A second bad file does not replace the first one set aside.
        writeFileAsAnotherProgram("{{{");
        QCOMPARE(store.integer("OTCleanedCount"), 0);
        QVERIFY(QFile::exists(path() + ".1.corrupt"));
    }

    // The store rewrites the whole file: what another writer stored under other keys stays.
    void writersOfDifferentKeysKeepBoth()
    {
        QSettings other(path(), SettingsStore::format());
        other.setValue("OTOnboarded", true);
        other.sync();
        store.setInteger("OTCleanedCount", 5);
        QCOMPARE(fileAsJson(), (QJsonObject{{"OTOnboarded", true}, {"OTCleanedCount", 5}}));
    }

    // Whatever sits at the file's or the lock's path, reads and writes return at once, and the
    // thing is moved aside so that the store works again.
    void oddThingsAtThePathNeverBlock_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("kind");
        const auto row = [](const char *name, const char *suffix, const char *kind) {
            QTest::newRow(name) << QString(suffix) << QString(kind);
        };
        row("FIFO as the file", "", "fifo");
        row("directory as the file", "", "directory");
        row("dangling link as the file", "", "link");
        row("directory as the lock", ".lock", "directory");
        row("FIFO as the lock", ".lock", "fifo");
    }

    void oddThingsAtThePathNeverBlock()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, kind);
        const QString odd = path() + suffix;
        const QByteArray name = QFile::encodeName(odd);
        QVERIFY(QDir().mkpath(QFileInfo(odd).absolutePath()));
        if (kind == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (kind == "directory")
            QVERIFY(QDir().mkpath(odd + "/inside"));
        else
            QCOMPARE(::symlink("/nonexistent/OrvaneTavo.json", name.constData()), 0);

        QElapsedTimer timer;
        timer.start();
        QVERIFY(TavoSettings::isEnabled());
        store.setInteger("OTCleanedCount", 7);
        QCOMPARE(store.integer("OTCleanedCount"), 7);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));

        QCOMPARE(fileAsJson().value("OTCleanedCount"), QJsonValue(7));
        QVERIFY(QFileInfo(path()).isFile() && !QFileInfo(path()).isSymLink());
        struct stat aside;
        QCOMPARE(::lstat(QFile::encodeName(odd + ".corrupt").constData(), &aside), 0);
        QVERIFY(!QFileInfo::exists(path() + ".lock"));
    }

    // However the write fails, every reader gets what the user last chose, for this run: the
    // engine keeps cleaning, and a second click turns it back on.
    void failedWritesHoldForThisRun_data()
    {
        QTest::addColumn<bool>("folderIsAFile"); // otherwise: a live writer keeps the lock
        QTest::newRow("folder is a file") << true;
        QTest::newRow("lock never released") << false;
    }

    void failedWritesHoldForThisRun()
    {
        QFETCH(bool, folderIsAFile);
        QTemporaryDir config;
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        std::unique_ptr<QLockFile> lock;
        if (folderIsAFile) {
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
            QFile blocker(config.filePath("OrvaneTavo"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else {
            writeFileAsAnotherProgram(R"({"OTCleanedCount": 40})");
            lock = std::make_unique<QLockFile>(path() + ".lock");
            QVERIFY(lock->tryLock(0));
        }
        const qint64 before = folderIsAFile ? 0 : 40;
        const QString log = config.filePath("stderr");
        const int savedStderr = ::dup(2);
        const int logFd = ::open(QFile::encodeName(log).constData(), O_WRONLY | O_CREAT, 0600);
        ::dup2(logFd, 2);
        ::close(logFd);

        FakePasteboard pasteboard;
        TavoEngine engine(pasteboard);
        engine.setEnabled(false);
        const bool offEverywhere = !TavoSettings::isEnabled()
            && !SettingsStore().boolValue("OTEnabled") && !engine.isEnabled()
            && !engine.isRunning();
        engine.setEnabled(!TavoSettings::isEnabled());
        const bool onAgain = TavoSettings::isEnabled() && engine.isRunning();
        const qint64 first = store.increment("OTCleanedCount");
        const qint64 second = store.increment("OTCleanedCount");

        ::dup2(savedStderr, 2);
        ::close(savedStderr);
        QVERIFY(offEverywhere);
        QVERIFY(onAgain);
        QCOMPARE(first, before + 1);
        QCOMPARE(second, before + 2);
        QCOMPARE(store.integer("OTCleanedCount"), before + 2);
        // One line per setting held in memory, however often it is written.
        QFile logged(log);
        QVERIFY(logged.open(QIODevice::ReadOnly));
        const QByteArray lines = logged.readAll();
        QCOMPARE(lines.count("OTEnabled"), 1);
        QCOMPARE(lines.count("OTCleanedCount"), 1);

        // Once the store can be written again, the file takes over from memory.
        lock.reset();
        qputenv("XDG_CONFIG_HOME", oldConfig);
        engine.setEnabled(false);
        QCOMPARE(fileAsJson().value("OTEnabled"), QJsonValue(false));
        writeFileAsAnotherProgram(R"({"OTEnabled": true})");
        QVERIFY(TavoSettings::isEnabled());
        if (!folderIsAFile) {
            // The count still comes from memory: it was never stored.
            QCOMPARE(store.integer("OTCleanedCount"), before + 2);
            store.setInteger("OTCleanedCount", 0);
        }
    }

    void counterNeverWrapsNorRestarts_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<qint64>("read");
        QTest::addColumn<qint64>("afterOne");
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("largest") << QByteArray("9223372036854775807") << max << max;
        QTest::newRow("beyond the range") << QByteArray("1e20") << max << max;
        QTest::newRow("below the range") << QByteArray("-1e20") << min << min + 1;
        QTest::newRow("not whole") << QByteArray("41.9") << qint64(41) << qint64(42);
        QTest::newRow("number as text") << QByteArray(R"(" 41")") << qint64(41) << qint64(42);
        QTest::newRow("text") << QByteArray(R"("many")") << qint64(0) << qint64(1);
    }

    void counterNeverWrapsNorRestarts()
    {
        QFETCH(QByteArray, stored);
        writeFileAsAnotherProgram(R"({"OTCleanedCount": )" + stored + "}");
        QTEST(store.integer("OTCleanedCount"), "read");
        QTEST(store.increment("OTCleanedCount"), "afterOne");
        QTEST(qint64(fileAsJson().value("OTCleanedCount").toInteger()), "afterOne");
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "TestSettingsStore.moc"
