#include "platform/AutostartLoginItem.h"
#include "platform/RunningAppImage.h"

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

    // $APPIMAGE counts only for a binary inside $APPDIR: every program an AppImage starts
    // inherits both.
    void appImageIsTrustedOnlyFromItsOwnMount_data()
    {
        QTest::addColumn<QString>("appImage");
        QTest::addColumn<QString>("appDir");
        QTest::addColumn<QString>("binary");
        QTest::addColumn<bool>("trusted");
        const auto row = [](const char *tag, const char *image, const char *dir, const char *binary,
                             bool trusted) {
            QTest::newRow(tag) << QString(image) << QString(dir) << QString(binary) << trusted;
        };
        row("our own image", "image", "mount", "mount/usr/bin/orvanetavo", true);
        row("inherited from another image", "image", "mount", "elsewhere/orvanetavo", false);
        row("a folder named like the mount", "image", "mount", "mount-other/orvanetavo", false);
        row("no APPDIR", "image", "", "mount/usr/bin/orvanetavo", false);
        row("no such image", "gone", "mount", "mount/usr/bin/orvanetavo", false);
        row("APPDIR is the root", "image", "/", "mount/usr/bin/orvanetavo", false);
    }

    void appImageIsTrustedOnlyFromItsOwnMount()
    {
        QFETCH(QString, appImage);
        QFETCH(QString, appDir);
        QFETCH(QString, binary);
        QFETCH(bool, trusted);
        for (const char *file :
            {"image", "mount/usr/bin/orvanetavo", "elsewhere/orvanetavo", "mount-other/orvanetavo"})
            writeFile(m_dir.filePath(file), "#!");
        const auto inDir = [this](const QString &name) {
            return name.isEmpty() || name.startsWith('/') ? name : m_dir.filePath(name);
        };
        QCOMPARE(RunningAppImage::path(inDir(appImage), inDir(appDir), inDir(binary)),
            trusted ? inDir(appImage) : QString());
    }

    // Each entry is written whole, in a folder made on the way, over whatever was there; then
    // unregistering removes it, and succeeds again once it is gone.
    void registerWritesAQuotedEnabledEntry_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("earlier"); // the entry found on disk, none when empty
        QTest::addColumn<QString>("exec"); // exactly as written in the file
        QTest::addColumn<QString>("tryExec"); // a plain path: no quoting, no field codes

        const auto row = [](const char *tag, const char *command, const QByteArray &earlier,
                             const char *exec, const char *tryExec) {
            QTest::newRow(tag) << QString(command) << earlier << QString(exec) << QString(tryExec);
        };
        row("plain path", "/usr/bin/orvanetavo", {}, "/usr/bin/orvanetavo", "/usr/bin/orvanetavo");
        row("space", "/home/léa/Mes Applis/OrvaneTavo.AppImage", {},
            "\"/home/léa/Mes Applis/OrvaneTavo.AppImage\"",
            "/home/léa/Mes Applis/OrvaneTavo.AppImage");
        row("double quote", "/tmp/a \"b\"/app", {}, "\"/tmp/a \\\\\"b\\\\\"/app\"",
            "/tmp/a \"b\"/app");
        row("percent and backslash", "/tmp/100 %f\\app", {}, "\"/tmp/100 %%f\\\\\\\\app\"",
            "/tmp/100 %f\\\\app");
        row("over a hidden entry", "/usr/bin/orvanetavo",
            "[Desktop Entry]\nExec=/old/orvanetavo\nHidden=true\nX-GNOME-Autostart-enabled=false\n",
            "/usr/bin/orvanetavo", "/usr/bin/orvanetavo");
    }

    void registerWritesAQuotedEnabledEntry()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, earlier);
        AutostartLoginItem item(command, autostartFolder());
        QCOMPARE(item.filePath(), autostartFolder() + "/orvanetavo.desktop");
        if (!earlier.isEmpty())
            writeFile(item.filePath(), earlier);
        QCOMPARE(item.status(), Status::NotRegistered);
        QVERIFY(item.registerItem(nullptr));
        QCOMPARE(item.status(), Status::Enabled);
        QTEST(entryValue(item.filePath(), "Exec"), "exec");
        QTEST(entryValue(item.filePath(), "TryExec"), "tryExec");
        QCOMPARE(entryValue(item.filePath(), "Type"), "Application");
        QVERIFY(entryValue(item.filePath(), "Hidden").isNull());

        QVERIFY(item.unregisterItem(nullptr));
        QVERIFY(!QFileInfo::exists(item.filePath()));
        QCOMPARE(item.status(), Status::NotRegistered);
        // Already gone: still what the caller asked for.
        QVERIFY(item.unregisterItem(nullptr));
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

    // Tests may run as root, so the entry is made unusable by the shape of the paths rather than
    // by permissions. A failure says, on one line, which path it is about, and changes nothing.
    void failuresNameThePathAndChangeNothing_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::addColumn<QString>("blocker"); // a file in the way, below the temporary folder
        QTest::addColumn<QString>("named"); // the path the message must name
        const QString entry = "autostart/orvanetavo.desktop";
        QTest::newRow("register, autostart is a file") << true << "autostart"
                                                       << "autostart";
        QTest::newRow("register, entry is a folder") << true << entry + "/inside"
                                                     << "autostart";
        QTest::newRow("unregister, entry is a folder") << false << entry + "/inside" << entry;
    }

    void failuresNameThePathAndChangeNothing()
    {
        QFETCH(bool, registering);
        QFETCH(QString, blocker);
        QFETCH(QString, named);
        writeFile(m_dir.filePath(blocker), "in the way");
        AutostartLoginItem item("/usr/bin/orvanetavo", m_dir.filePath("autostart"));
        QCOMPARE(item.status(), Status::NotRegistered);
        QString error;
        QVERIFY(registering ? !item.registerItem(&error) : !item.unregisterItem(&error));
        QVERIFY2(!error.contains('\n'), qPrintable(error));
        QVERIFY2(error.contains(m_dir.filePath(named)), qPrintable(error));
        QCOMPARE(item.status(), Status::NotRegistered);
        QFile file(m_dir.filePath(blocker));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("in the way"));
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
