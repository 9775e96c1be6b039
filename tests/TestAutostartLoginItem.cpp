#include "platform/AutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Status = LoginItem::Status;

// The value of `key` as written in the entry, or a null string when the key is absent.
QString entryValue(const QString &path, const QString &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (line.startsWith(key + '='))
            return line.mid(key.size() + 1);
    }
    return {};
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestAutostartLoginItem : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString autostartFolder() const { return m_dir.filePath("config/autostart"); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void registerCreatesTheFolderAndAnEnabledEntry()
    {
        AutostartLoginItem item("/opt/OrvaneTavo/orvanetavo", autostartFolder());
        QCOMPARE(item.status(), Status::NotRegistered);

        QString error = "untouched";
        QVERIFY(item.registerItem(&error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(item.status(), Status::Enabled);
        QCOMPARE(item.filePath(), autostartFolder() + "/orvanetavo.desktop");
        QCOMPARE(entryValue(item.filePath(), "Type"), QStringLiteral("Application"));
        QVERIFY(entryValue(item.filePath(), "Hidden").isNull());
    }

    void execIsQuotedForTheDesktop_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("exec"); // exactly as written in the file
        QTest::addColumn<QString>("tryExec"); // a plain path: no quoting, no field codes

        QTest::newRow("plain path") << "/usr/bin/orvanetavo"
                                    << "/usr/bin/orvanetavo"
                                    << "/usr/bin/orvanetavo";
        QTest::newRow("space") << "/home/léa/Mes Applis/OrvaneTavo.AppImage"
                               << "\"/home/léa/Mes Applis/OrvaneTavo.AppImage\""
                               << "/home/léa/Mes Applis/OrvaneTavo.AppImage";
        QTest::newRow("double quote") << "/tmp/a \"b\"/app"
                                      << "\"/tmp/a \\\\\"b\\\\\"/app\""
                                      << "/tmp/a \"b\"/app";
        QTest::newRow("percent and backslash") << "/tmp/100 %f\\app"
                                               << "\"/tmp/100 %%f\\\\\\\\app\""
                                               << "/tmp/100 %f\\\\app";
    }

    void execIsQuotedForTheDesktop()
    {
        QFETCH(QString, command);
        AutostartLoginItem item(command, autostartFolder());
        QVERIFY(item.registerItem(nullptr));
        QCOMPARE(item.status(), Status::Enabled);
        QTEST(entryValue(item.filePath(), "Exec"), "exec");
        QTEST(entryValue(item.filePath(), "TryExec"), "tryExec");
    }

    void statusReadsTheEntry_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<Status>("status");

        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=orvanetavo\n";
        QTest::newRow("minimal entry") << head << Status::Enabled;
        QTest::newRow("Hidden=true") << head + "Hidden=true\n" << Status::NotRegistered;
        QTest::newRow("Hidden=false") << head + "Hidden=false\n" << Status::Enabled;
        QTest::newRow("Hidden in another group") << head + "[Desktop Action quit]\nHidden=true\n"
                                                 << Status::Enabled;
        QTest::newRow("GNOME switch off") << head + "X-GNOME-Autostart-enabled=false\n"
                                          << Status::NotRegistered;
        QTest::newRow("empty file") << QByteArray() << Status::NotRegistered;
        QTest::newRow("not UTF-8") << head + "Comment=caf\xe9\n" << Status::NotRegistered;
    }

    void statusReadsTheEntry()
    {
        QFETCH(QByteArray, contents);
        const AutostartLoginItem item("orvanetavo", autostartFolder());
        writeFile(item.filePath(), contents);
        QTEST(item.status(), "status");
    }

    void registerTurnsAHiddenEntryBackOn()
    {
        AutostartLoginItem item("/usr/bin/orvanetavo", autostartFolder());
        const QByteArray head = "[Desktop Entry]\nExec=/old/orvanetavo\n";
        writeFile(item.filePath(), head + "Hidden=true\nX-GNOME-Autostart-enabled=false\n");
        QVERIFY(item.registerItem(nullptr));
        QCOMPARE(item.status(), Status::Enabled);
        QVERIFY(entryValue(item.filePath(), "Hidden").isNull());
        QCOMPARE(entryValue(item.filePath(), "Exec"), QStringLiteral("/usr/bin/orvanetavo"));
    }

    void registerFailsWhenTheEntryCannotBeWritten_data()
    {
        // Tests may run as root, so the folder is made unusable by the shape of the paths
        // rather than by permissions.
        QTest::addColumn<QString>("blocker"); // a file in the way, below the temporary folder
        QTest::newRow("autostart is a file") << "autostart";
        QTest::newRow("entry is a folder") << "autostart/orvanetavo.desktop/inside";
    }

    void registerFailsWhenTheEntryCannotBeWritten()
    {
        QFETCH(QString, blocker);
        writeFile(m_dir.filePath(blocker), "in the way");
        const QString folder = m_dir.filePath("autostart");

        AutostartLoginItem item("/usr/bin/orvanetavo", folder);
        QString error;
        QVERIFY(!item.registerItem(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains('\n'), qPrintable(error));
        QVERIFY2(error.contains(folder), qPrintable(error));
        QCOMPARE(item.status(), Status::NotRegistered);
        QFile file(m_dir.filePath(blocker));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("in the way"));
    }

    void unregisterRemovesTheEntry()
    {
        AutostartLoginItem item("orvanetavo", autostartFolder());
        QVERIFY(item.registerItem(nullptr));
        QString error = "untouched";
        QVERIFY(item.unregisterItem(&error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QVERIFY(!QFileInfo::exists(item.filePath()));
        QCOMPARE(item.status(), Status::NotRegistered);
        // Already gone: still what the caller asked for.
        QVERIFY(item.unregisterItem(&error));
        QCOMPARE(error, QStringLiteral("untouched"));
    }

    void unregisterFailsWhenTheEntryStays()
    {
        AutostartLoginItem item("orvanetavo", autostartFolder());
        writeFile(item.filePath() + "/inside", "a folder cannot be removed as a file");
        QCOMPARE(item.status(), Status::NotRegistered);
        QString error;
        QVERIFY(!item.unregisterItem(&error));
        QVERIFY2(error.contains(item.filePath()), qPrintable(error));
        QVERIFY(!error.contains('\n'));
        QVERIFY(QFileInfo::exists(item.filePath() + "/inside"));
    }

    void defaultFolderFollowsXdgConfigHome()
    {
        const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", configHome); });
        qputenv("XDG_CONFIG_HOME", "/srv/conf");
        QCOMPARE(
            AutostartLoginItem::defaultAutostartFolder(), QStringLiteral("/srv/conf/autostart"));
        qputenv("XDG_CONFIG_HOME", "conf"); // a relative value is not usable
        QCOMPARE(
            AutostartLoginItem::defaultAutostartFolder(), QDir::homePath() + "/.config/autostart");
    }
};

QTEST_GUILESS_MAIN(TestAutostartLoginItem)
#include "TestAutostartLoginItem.moc"
