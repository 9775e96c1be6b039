#include "FeedServer.h"
#include "diagnostics/CrashReporter.h"
#include "settings/TavoSettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QtEndian>

using Response = FeedServer::Response;

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
    // Whole seconds, a day ago; journal entries carry 456 µs more, which the mark can't hold.
    const QDateTime m_base
        = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 86400, Qt::UTC);

    // The bodies posted to /api/crash.php: at least `expected` of them and an upload sent after
    // them, then a moment more for any that should not have come.
    QList<QJsonObject> crashBodies(int expected)
    {
        CrashReporter::send("sentinel", "", "");
        QList<QJsonObject> bodies;
        bool sentinel = false;
        const auto arrived = [&] {
            bodies.clear();
            for (const FeedServer::Request &request : std::as_const(m_server.received)) {
                const QJsonObject body = QJsonDocument::fromJson(request.body).object();
                if (body.value("kind") == "sentinel")
                    sentinel = true;
                else if (request.path == "/api/crash.php")
                    bodies.append(body);
            }
            return sentinel && bodies.size() >= expected;
        };
        if (!QTest::qWaitFor(arrived, 15000))
            qWarning("only %d uploads arrived", int(bodies.size()));
        QTest::qWait(200);
        arrived();
        return bodies;
    }

    QString pendingPath() const
    {
        return qEnvironmentVariable("XDG_DATA_HOME") + "/OrvaneTavo/pending-crash.txt";
    }

    void writePending(const QByteArray &bytes) const
    {
        QDir().mkpath(QFileInfo(pendingPath()).absolutePath());
        QFile file(pendingPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    // A real journal file, written by systemd-journal-remote from the export format.
    QString makeJournal(const QList<Made> &entries) const
    {
        QByteArray export_;
        for (const Made &made : entries) {
            if (!made.journal)
                continue;
            const qint64 usec = m_base.addSecs(made.second).toMSecsSinceEpoch() * 1000 + 456;
            export_ += "__REALTIME_TIMESTAMP=" + QByteArray::number(usec) + "\n";
            export_
                += "__MONOTONIC_TIMESTAMP=" + QByteArray::number(made.second + 100000) + "000\n";
            export_ += "_BOOT_ID=0123456789abcdef0123456789abcdef\n";
            export_ += "MESSAGE_ID=fc2e22bc6ee647b6b90729ab34a250b1\n";
            export_ += "COREDUMP_UID=" + QByteArray::number(getuid()) + "\n";
            export_ += "COREDUMP_EXE=" + made.name.toUtf8() + "\n";
            // The binary form, as a MESSAGE with line feeds needs.
            const quint64 size = qToLittleEndian(quint64(made.text.size()));
            export_ += "MESSAGE\n" + QByteArray(reinterpret_cast<const char *>(&size), 8)
                + made.text + "\n\n";
        }
        const QString exportFile = m_dir.filePath("entries.export");
        const QString journal = m_dir.filePath("made.journal");
        QFile::remove(journal);
        QFile file(exportFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("can't write the export file");
        file.write(export_);
        file.close();
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
            if (made.journal)
                continue;
            QFile file(folder + "/" + made.name);
            if (!file.open(QIODevice::WriteOnly))
                qFatal("can't write a report");
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
        m_server.routes["/api/crash.php"] = {200, "{\"ok\": true}"};
    }

    void init()
    {
        QFile::remove(store.fileName());
        QFile::remove(pendingPath());
        m_server.received.clear();
        m_server.requests.clear();
        qputenv("ORVANE_SERVICE_URL", m_server.url("").toString().toUtf8());
        qputenv("ORVANE_SERVICE_CA", m_server.certificatePath().toUtf8());
    }

    void pendingRecordIsSentOnce_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("deviceId"); // stored before, or empty for none
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stack");

        QTest::newRow("signal record")
            << QByteArray("Signal 11\n---\nf0\nf1") << "" << Response{} << "Signal 11"
            << "f0\nf1";
        QTest::newRow("stored device, service fails")
            << QByteArray("Exception: std::runtime_error : é\n---\nf0") << "ABC"
            << Response{500, "no"} << "Exception: std::runtime_error : é"
            << "f0";
        QTest::newRow("service never answers")
            << QByteArray("Signal 6\n---\nf0") << "" << Response{200, "", true} << "Signal 6"
            << "f0";
        QTest::newRow("empty file") << QByteArray() << "" << Response{} << ""
                                    << "";
        QTest::newRow("no separator") << QByteArray("Signal 4") << "" << Response{} << "Signal 4"
                                      << "";
        // The stack is what follows the first separator, up to the next.
        QTest::newRow("reason holds the separator")
            << QByteArray("Exception: E : a\n---\nb\n---\nf0\nf1") << "" << Response{}
            << "Exception: E : a"
            << "b";
    }

    void pendingRecordIsSentOnce()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, deviceId);
        QFETCH(Response, response);
        QFETCH(QString, message);
        QFETCH(QString, stack);
        if (!deviceId.isEmpty())
            store.setObject(TavoSettings::deviceIdKey, deviceId);
        m_server.routes["/api/crash.php"] = response;
        writePending(record);

        CrashReporter::sendPendingCrash();
        QVERIFY(!QFile::exists(pendingPath()));
        m_server.routes["/api/crash.php"] = Response{};
        const QList<QJsonObject> bodies = crashBodies(1);
        QCOMPARE(bodies.size(), 1);
        const QJsonObject expected{{"d", deviceId.isEmpty() ? "?" : deviceId}, {"kind", "crash"},
            {"message", message}, {"stack", stack}, {"v", ORVANE_VERSION},
            {"os", bodies.first().value("os")}};
        QCOMPARE(bodies.first(), expected);
        QVERIFY(!bodies.first().value("os").toString().isEmpty());
        // An upload never makes an identifier.
        QCOMPARE(store.contains(TavoSettings::deviceIdKey), !deviceId.isEmpty());

        // Offered once: the next start has nothing to send.
        CrashReporter::sendPendingCrash();
        QCOMPARE(crashBodies(1).size(), 1);
    }

    void unreadableRecordStays()
    {
        CrashReporter::sendPendingCrash();
        // Working out the place makes the folder, record or not.
        QVERIFY(QFileInfo(pendingPath()).dir().exists());

        const QByteArray invalid("Signal 11\n---\n\xff\xfe frame");
        writePending(invalid);
        CrashReporter::sendPendingCrash();
        QCOMPARE(crashBodies(0).size(), 0);
        QFile file(pendingPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), invalid);
    }

    void reportErrorSendsTheCallersFrames()
    {
        writePending("Signal 11\n---\nf0");
        reportFromDepth(20);
        const QList<QJsonObject> bodies = crashBodies(1);
        QCOMPARE(bodies.size(), 1);
        QCOMPARE(bodies.first().value("kind"), "error");
        QCOMPARE(bodies.first().value("message"), "");
        const QStringList frames = bodies.first().value("stack").toString().split('\n');
        QCOMPARE(frames.size(), 15);
        QVERIFY2(frames.first().contains("reportError"), qPrintable(frames.first()));
        // The program goes on and the pending record is not its business.
        QVERIFY(QFile::exists(pendingPath()));
    }

    void systemReportsAreForwardedOnce_data()
    {
        QTest::addColumn<QVariant>("mark"); // stored before; invalid for none
        QTest::addColumn<QList<Made>>("reports");
        QTest::addColumn<QStringList>("messages"); // sent, sorted
        QTest::addColumn<int>("newMark"); // seconds after the base; -1 for the distant past

        const QString ours = "/usr/bin/orvanetavo";
        const QString apport = "_usr_bin_orvanetavo.0.crash";
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
            << QStringList{"Rapport système Linux", "Rapport système Linux"} << 2;
        QTest::newRow("nothing found, no mark")
            << QVariant() << QList<Made>{} << QStringList() << -1;
        QTest::newRow("nothing found, mark kept")
            << QVariant(QDateTime(m_base.addSecs(7))) << QList<Made>{} << QStringList() << 7;
        QTest::newRow("other programs ignored")
            << QVariant()
            << QList<Made>{{true, "/usr/bin/firefox", 1, "j"},
                   {true, "/home/u/orvanetavo/firefox", 1, "j"},
                   {false, "_usr_bin_firefox.0.crash", 1, "a"},
                   {false, "_usr_bin_orvanetavo.0.crash.txt", 1, "a"},
                   {false, "orvanetavo.crash", 1, "a"},
                   {false, "_usr_bin_orvanetavo.0.crash", 1, "Termination ours"}}
            << QStringList{"Termination ours"} << 1;
        // Skipped without moving the mark, so it is tried again next time.
        QTest::newRow("not UTF-8")
            << QVariant() << QList<Made>{{false, apport, 4, "Exception \xff"}, {true, ours, 3, "x"}}
            << QStringList{"Rapport système Linux"} << 3;
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

        CrashReporter::sendSystemCrashReports(sources);
        QStringList sent;
        for (const QJsonObject &body : crashBodies(messages.size()))
            sent.append(body.value("message").toString());
        sent.sort();
        QCOMPARE(sent, messages);
        const QDateTime expected = newMark < 0 ? QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC)
                                               : m_base.addSecs(newMark);
        QCOMPARE(store.date(TavoSettings::lastCrashScanKey), expected);

        // A second look finds nothing new.
        m_server.received.clear();
        CrashReporter::sendSystemCrashReports(sources);
        QCOMPARE(crashBodies(0).size(), 0);
    }

    void placesThatCantBeListedLeaveTheMark()
    {
        store.setObject(TavoSettings::lastCrashScanKey, "hier");
        CrashReporter::sendSystemCrashReports(
            {[](const QDateTime &) { return SystemCrashReports::fromApport("/nonexistent"); }});
        QCOMPARE(store.object(TavoSettings::lastCrashScanKey), QVariant("hier"));
    }

    void messageAndStack_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("stackSize");
        QTest::newRow("file order") << "a\nTermination: x\nException y"
                                    << "Termination: x" << 0;
        QTest::newRow("untrimmed, blank lines skipped") << "\n\n  Exception y \r\nz"
                                                        << "  Exception y \r" << 0;
        QTest::newRow("case counts") << "exception\ntermination"
                                     << "Rapport système Linux" << 0;
        QTest::newRow("50000 characters")
            << QString(50000, 'x') << "Rapport système Linux" << 18000;
        // The cut never splits a character in two.
        QTest::newRow("surrogate pairs")
            << QString(17999, 'x') + QString("😀😀😀") << "Rapport système Linux" << 18001;
        QTest::newRow("accents combined") << QString(17999, 'x') + QString("e\u0301").repeated(5)
                                          << "Rapport système Linux" << 18001;
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
