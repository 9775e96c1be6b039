#include "settings/SettingsStore.h"
#include "settings/TavoSettings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

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
        const QDir dir = QFileInfo(path()).absoluteDir();
        for (const QString &name : dir.entryList(QDir::Files))
            QFile::remove(dir.filePath(name));
    }

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

    void writersOfDifferentKeysKeepBoth()
    {
        // Two handles open at the same time, and the store itself.
        QSettings first(path(), SettingsStore::format());
        QSettings second(path(), SettingsStore::format());
        first.setValue("OTMenuBarMode", true);
        second.setValue("OTOnboarded", true);
        first.sync();
        second.sync();
        store.setInteger("OTCleanedCount", 5);

        const QJsonObject merged = fileAsJson();
        QCOMPARE(merged.value("OTMenuBarMode"), QJsonValue(true));
        QCOMPARE(merged.value("OTOnboarded"), QJsonValue(true));
        QCOMPARE(merged.value("OTCleanedCount"), QJsonValue(5));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "TestSettingsStore.moc"
