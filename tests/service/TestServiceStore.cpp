#include "PgCluster.h"
#include "ServiceStore.h"

#include <QTemporaryDir>
#include <QtTest>

// The store under both databases: every case runs on SQLite and on a private PostgreSQL.
class TestServiceStore : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ServiceStore> openStore(ServiceStore::Mode mode = ServiceStore::Mode::Create)
    {
        QFETCH(QString, backend);
        QString error;
        std::unique_ptr<ServiceStore> store;
        if (backend == "postgresql") {
            if (!m_pgReady)
                return nullptr;
            store = ServiceStore::open(m_pg.location(), mode, &error);
        } else {
            store = ServiceStore::open(m_sqlitePath, mode, &error);
        }
        if (!store)
            qWarning() << error;
        return store;
    }

    void addBackends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }

    ProblemReport report(const QString &device, const QString &text, qint64 at)
    {
        ProblemReport r;
        r.device = device;
        r.version = "0.1.0";
        r.os = "debian 12";
        r.text = text;
        r.receivedAt = at;
        r.address = "127.0.0.1";
        return r;
    }

    CrashRecord crash(const QString &message, const QString &version, const QString &os, qint64 at)
    {
        CrashRecord c;
        c.device = "?";
        c.kind = "crash";
        c.message = message;
        c.stack = "frame 0\nframe 1";
        c.version = version;
        c.os = os;
        c.receivedAt = at;
        return c;
    }

    PollAnswer poll(ServiceStore &store, const QString &device)
    {
        PollAnswer answer;
        QString error;
        if (!store.poll(device, ++m_clock, &answer, &error))
            qWarning() << error;
        return answer;
    }

    QTemporaryDir m_dir;
    QString m_sqlitePath;
    PgCluster m_pg;
    bool m_pgReady = false;
    QString m_pgWhy;
    qint64 m_clock = 1000;

private Q_SLOTS:
    void initTestCase() { m_pgReady = m_pg.start(&m_pgWhy); }

    void init()
    {
        static int n = 0;
        m_sqlitePath = m_dir.filePath(QStringLiteral("case%1.db").arg(++n));
        if (QString(QTest::currentDataTag()) == "postgresql") {
            if (!m_pgReady)
                QSKIP(qPrintable(m_pgWhy));
            QString why;
            QVERIFY2(m_pg.reset(&why), qPrintable(why));
        }
    }

    void repliesReachADeviceInOrderOnePerPoll_data() { addBackends(); }
    void repliesReachADeviceInOrderOnePerPoll()
    {
        auto store = openStore();
        QVERIFY(store);
        QString error;
        const PollAnswer none = poll(*store, "A");
        QVERIFY(none.mid == 0 && none.msg.isEmpty());

        const qint64 r1 = store->addReply("A", "première", ++m_clock, &error);
        const qint64 b1 = store->addReply("B", "pour B", ++m_clock, &error);
        const qint64 r2 = store->addReply("A", "deuxième", ++m_clock, &error);
        QVERIFY2(r1 > 0 && b1 > 0 && r2 > r1, qPrintable(error));

        PollAnswer a = poll(*store, "A");
        QCOMPARE(a.mid, r1);
        QCOMPARE(a.msg, QString("première"));
        QCOMPARE(poll(*store, "A").mid, r2);
        // Nothing newer: the last one offered comes again, the earlier one never does.
        QCOMPARE(poll(*store, "A").mid, r2);
        QCOMPARE(poll(*store, "B").mid, b1);
        QCOMPARE(poll(*store, "C").mid, 0);

        const qint64 r3 = store->addReply("A", "troisième", ++m_clock, &error);
        a = poll(*store, "A");
        QCOMPARE(a.mid, r3);
        QCOMPARE(a.msg, QString("troisième"));
    }

    // A device offered a reply that then went quiet (closed before showing it) gets it again,
    // even from another service process, until a later reply has been offered.
    void anUnseenReplyIsOfferedAgainUntilALaterOne_data() { addBackends(); }
    void anUnseenReplyIsOfferedAgainUntilALaterOne()
    {
        auto first = openStore();
        QVERIFY(first);
        QString error;
        const qint64 r1 = first->addReply("D", "une", ++m_clock, &error);
        QCOMPARE(poll(*first, "D").mid, r1);

        auto second = openStore();
        QVERIFY(second);
        QCOMPARE(poll(*second, "D").mid, r1);
        const qint64 r2 = first->addReply("D", "deux", ++m_clock, &error);
        const qint64 r3 = first->addReply("D", "trois", ++m_clock, &error);
        QCOMPARE(poll(*second, "D").mid, r2);
        QCOMPARE(poll(*first, "D").mid, r3);
        QCOMPARE(poll(*second, "D").mid, r3);
    }

    // What append answers true for is visible to another connection: it was committed.
    void appendedRecordsAreCommitted_data() { addBackends(); }
    void appendedRecordsAreCommitted()
    {
        auto writer = openStore();
        QVERIFY(writer);
        const QString tricky
            = "Ça plante 🙃 quand je copie \"du\" texte'); DROP TABLE reports; --";
        ProblemReport withEmail = report("E", tricky, 10);
        withEmail.email = " moi@example.org ";
        QString error;
        QVERIFY2(writer->append({withEmail, report("F", "autre", 11)},
                     {crash("Signal 11", "0.1", "debian 12", 12)}, &error),
            qPrintable(error));

        auto reader = openStore(ServiceStore::Mode::MustExist);
        QVERIFY(reader);
        QList<ProblemReport> seen;
        QVERIFY(reader->forEachReport(
            {}, true, [&](const ProblemReport &r) { seen << r; }, &error));
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[0].device, QString("F")); // newest first
        QCOMPARE(seen[1].text, tricky);
        QCOMPARE(seen[1].email, QString(" moi@example.org "));
        seen.clear();
        QVERIFY(reader->forEachReport(
            "E", false, [&](const ProblemReport &r) { seen << r; }, &error));
        QCOMPARE(seen.size(), 1);
        int crashes = 0;
        QVERIFY(reader->forEachCrash(
            [&](const CrashRecord &c) {
                ++crashes;
                QCOMPARE(c.stack, QString("frame 0\nframe 1"));
            },
            &error));
        QCOMPARE(crashes, 1);
    }

    void crashesGroupByMessage_data() { addBackends(); }
    void crashesGroupByMessage()
    {
        auto store = openStore();
        QVERIFY(store);
        QString error;
        QVERIFY(store->append({},
            {crash("Signal 11", "0.2", "debian 12", 100),
                crash("Signal 11", "0.1", "ubuntu 24.04", 300),
                crash("Signal 11", "0.2", "debian 12", 200),
                crash("Exception: E : x", "0.2", "debian 12", 400)},
            &error));
        QList<CrashGroup> groups;
        QVERIFY2(store->crashGroups(&groups, &error), qPrintable(error));
        QCOMPARE(groups.size(), 2);
        QCOMPARE(groups[0].message, QString("Signal 11"));
        QCOMPARE(groups[0].count, 3);
        QCOMPARE(groups[0].lastSeen, 300);
        QCOMPARE(groups[0].versions, QStringList({"0.1", "0.2"}));
        QCOMPARE(groups[0].systems, QStringList({"debian 12", "ubuntu 24.04"}));
        QCOMPARE(groups[1].count, 1);
    }

    void readingNeedsAnExistingSqliteFile()
    {
        QString error;
        QVERIFY(
            !ServiceStore::open(m_dir.filePath("typo.db"), ServiceStore::Mode::MustExist, &error));
        QVERIFY(error.contains("typo.db"));
        QVERIFY(!QFile::exists(m_dir.filePath("typo.db")));
    }
};

QTEST_GUILESS_MAIN(TestServiceStore)
#include "TestServiceStore.moc"
