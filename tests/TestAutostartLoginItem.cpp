#include "AutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

namespace {

using Status = LoginItem::Status;

// Sets an environment variable for one test and puts the old value back afterwards.
class EnvironmentOverride
{
public:
    EnvironmentOverride(const char *name, const std::optional<QByteArray> &value)
        : m_name(name)
        , m_hadValue(qEnvironmentVariableIsSet(name))
        , m_oldValue(qgetenv(name))
    {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~EnvironmentOverride()
    {
        if (m_hadValue)
            qputenv(m_name, m_oldValue);
        else
            qunsetenv(m_name);
    }

private:
    const char *m_name;
    bool m_hadValue;
    QByteArray m_oldValue;
};

// The keys of the [Desktop Entry] group as a desktop reads them (no string unescaping).
QMap<QString, QString> readEntry(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QMap<QString, QString> keys;
    bool inMainGroup = false;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (line.startsWith('['))
            inMainGroup = line == "[Desktop Entry]";
        else if (inMainGroup && line.contains('='))
            keys.insert(line.section('=', 0, 0), line.section('=', 1));
    }
    return keys;
}

// Splits an Exec value into arguments the way a desktop launcher does: string escapes first,
// then double-quote unquoting, then %% back to %.
QStringList execArguments(const QString &raw)
{
    QString value;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            value += raw[i];
            continue;
        }
        const QChar next = raw[++i];
        if (next == 's')
            value += ' ';
        else if (next == 'n')
            value += '\n';
        else if (next == 't')
            value += '\t';
        else if (next == 'r')
            value += '\r';
        else if (next == '\\')
            value += '\\';
        else
            value += QString('\\') + next;
    }

    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (quoted) {
            if (c == '"')
                quoted = false;
            else if (c == '\\' && i + 1 < value.size()
                && QStringLiteral("\"`$\\").contains(value[i + 1]))
                current += value[++i];
            else
                current += c;
        } else if (c == '"') {
            quoted = inArgument = true;
        } else if (c == ' ') {
            if (inArgument)
                arguments << current;
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (quoted)
        return {"<unterminated quote>"};
    if (inArgument)
        arguments << current;
    for (QString &argument : arguments)
        argument.replace("%%", "%");
    return arguments;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

// Found by QCOMPARE through argument-dependent lookup, so failures name the status.
char *toString(LoginItem::Status status)
{
    return qstrdup(status == LoginItem::Status::Enabled ? "Enabled" : "NotRegistered");
}

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

    void entryIsNamedAfterTheApplication()
    {
        const AutostartLoginItem item("/usr/bin/orvanetavo", "/some/folder/");
        QCOMPARE(item.filePath(), QStringLiteral("/some/folder/orvanetavo.desktop"));
    }

    void registerCreatesTheFolderAndAnEnabledEntry()
    {
        AutostartLoginItem item("/opt/OrvaneTavo/orvanetavo", autostartFolder());
        QCOMPARE(item.status(), Status::NotRegistered);
        QVERIFY(!QFileInfo::exists(autostartFolder()));

        QString error = "untouched";
        QVERIFY(item.registerItem(&error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(item.status(), Status::Enabled);
        QCOMPARE(item.filePath(), autostartFolder() + "/orvanetavo.desktop");

        const QMap<QString, QString> keys = readEntry(item.filePath());
        QCOMPARE(keys.value("Type"), QStringLiteral("Application"));
        QCOMPARE(keys.value("Name"), QStringLiteral("OrvaneTavo"));
        QCOMPARE(
            keys.value("Comment[fr]"), QStringLiteral("Colle toujours du texte brut, partout."));
        QCOMPARE(keys.value("Exec"), QStringLiteral("/opt/OrvaneTavo/orvanetavo"));
        QCOMPARE(keys.value("Icon"), QStringLiteral("orvanetavo"));
        QCOMPARE(keys.value("Terminal"), QStringLiteral("false"));
        QCOMPARE(keys.value("X-GNOME-Autostart-enabled"), QStringLiteral("true"));
        QVERIFY(!keys.contains("Hidden"));

        // A second item over the same folder sees the same entry: nothing is kept in memory.
        QCOMPARE(AutostartLoginItem("other", autostartFolder()).status(), Status::Enabled);
    }

    void execIsQuotedForTheDesktop_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("exec"); // exactly as written in the file

        QTest::newRow("plain path") << "/usr/bin/orvanetavo"
                                    << "/usr/bin/orvanetavo";
        QTest::newRow("space") << "/home/léa/Mes Applis/OrvaneTavo.AppImage"
                               << "\"/home/léa/Mes Applis/OrvaneTavo.AppImage\"";
        QTest::newRow("double quote") << "/tmp/a \"b\"/app"
                                      << "\"/tmp/a \\\\\"b\\\\\"/app\"";
        QTest::newRow("dollar and backtick") << "/tmp/$HOME/`x`"
                                             << "\"/tmp/\\\\$HOME/\\\\`x\\\\`\"";
        QTest::newRow("backslash") << "/tmp/a\\b"
                                   << "\"/tmp/a\\\\\\\\b\"";
        QTest::newRow("single quote") << "/tmp/l'app"
                                      << "\"/tmp/l'app\"";
        QTest::newRow("percent") << "/tmp/100%/app"
                                 << "/tmp/100%%/app";
        QTest::newRow("percent and space") << "/tmp/100 %f/app"
                                           << "\"/tmp/100 %%f/app\"";
        QTest::newRow("semicolon") << "/tmp/a;b"
                                   << "\"/tmp/a;b\"";
        QTest::newRow("newline") << "/tmp/a\nb"
                                 << "\"/tmp/a\\nb\"";
    }

    void execIsQuotedForTheDesktop()
    {
        QFETCH(QString, command);
        QFETCH(QString, exec);
        AutostartLoginItem item(command, autostartFolder());
        QVERIFY(item.registerItem(nullptr));
        QCOMPARE(item.status(), Status::Enabled);

        const QString written = readEntry(item.filePath()).value("Exec");
        QCOMPARE(written, exec);
        // Whatever the quoting, the launcher must get back the whole command as one argument.
        QCOMPARE(execArguments(written), QStringList{command});
    }

    void statusReadsTheEntry_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<Status>("status");

        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=orvanetavo\n";
        QTest::newRow("minimal entry") << head << Status::Enabled;
        QTest::newRow("Hidden=true") << head + "Hidden=true\n" << Status::NotRegistered;
        QTest::newRow("Hidden=TRUE") << head + "Hidden=TRUE\n" << Status::NotRegistered;
        QTest::newRow("Hidden with spaces") << head + "Hidden = true \n" << Status::NotRegistered;
        QTest::newRow("Hidden=false") << head + "Hidden=false\n" << Status::Enabled;
        QTest::newRow("Hidden commented out") << head + "# Hidden=true\n" << Status::Enabled;
        QTest::newRow("Hidden in another group") << head + "[Desktop Action quit]\nHidden=true\n"
                                                 << Status::Enabled;
        QTest::newRow("GNOME switch off") << head + "X-GNOME-Autostart-enabled=false\n"
                                          << Status::NotRegistered;
        QTest::newRow("GNOME switch False") << head + "X-GNOME-Autostart-enabled=False\n"
                                            << Status::NotRegistered;
        QTest::newRow("GNOME switch on") << head + "X-GNOME-Autostart-enabled=true\n"
                                         << Status::Enabled;
        QTest::newRow("last Hidden wins") << head + "Hidden=true\nHidden=false\n"
                                          << Status::Enabled;
        QTest::newRow("CRLF line ends")
            << QByteArray("[Desktop Entry]\r\nExec=x\r\nHidden=true\r\n") << Status::NotRegistered;
        QTest::newRow("comments before the group")
            << "# written by hand\n\n" + head << Status::Enabled;
        QTest::newRow("empty file") << QByteArray() << Status::NotRegistered;
        QTest::newRow("only comments") << QByteArray("# nothing\n\n") << Status::NotRegistered;
        QTest::newRow("text garbage")
            << QByteArray("this is not a desktop entry\n") << Status::NotRegistered;
        QTest::newRow("binary garbage") << QByteArray("\x7f"
                                                      "ELF\x02\x01\x01\0\0\0",
            10) << Status::NotRegistered;
        QTest::newRow("other group only")
            << QByteArray("[Desktop Action x]\nExec=x\n") << Status::NotRegistered;
        QTest::newRow("key before any group") << "Exec=x\n" + head << Status::NotRegistered;
        QTest::newRow("garbage line in entry") << head + "Hidden\n" << Status::NotRegistered;
        QTest::newRow("unclosed group")
            << QByteArray("[Desktop Entry\nExec=x\n") << Status::NotRegistered;
        QTest::newRow("not UTF-8") << head + "Comment=caf\xe9\n" << Status::NotRegistered;
    }

    void statusReadsTheEntry()
    {
        QFETCH(QByteArray, contents);
        QFETCH(Status, status);
        const AutostartLoginItem item("orvanetavo", autostartFolder());
        writeFile(item.filePath(), contents);
        QCOMPARE(item.status(), status);
    }

    void statusFollowsChangesMadeBehindOurBack()
    {
        AutostartLoginItem item("orvanetavo", autostartFolder());
        QVERIFY(item.registerItem(nullptr));
        QCOMPARE(item.status(), Status::Enabled);
        writeFile(item.filePath(), "[Desktop Entry]\nExec=orvanetavo\nHidden=true\n");
        QCOMPARE(item.status(), Status::NotRegistered);
        writeFile(item.filePath(), "[Desktop Entry]\nExec=orvanetavo\n");
        QCOMPARE(item.status(), Status::Enabled);
        QVERIFY(QFile::remove(item.filePath()));
        QCOMPARE(item.status(), Status::NotRegistered);
    }

    void registerTurnsAHiddenEntryBackOn()
    {
        AutostartLoginItem item("/usr/bin/orvanetavo", autostartFolder());
        writeFile(item.filePath(),
            "[Desktop "
            "Entry]\nExec=/old/orvanetavo\nHidden=true\nX-GNOME-Autostart-enabled=false\n");
        QCOMPARE(item.status(), Status::NotRegistered);

        QVERIFY(item.registerItem(nullptr));
        QCOMPARE(item.status(), Status::Enabled);
        const QMap<QString, QString> keys = readEntry(item.filePath());
        QVERIFY(!keys.contains("Hidden"));
        QCOMPARE(keys.value("Exec"), QStringLiteral("/usr/bin/orvanetavo"));
    }

    void registerFailsWhenTheEntryCannotBeWritten_data()
    {
        // Tests may run as root, so the folder is made unusable by the shape of the paths
        // rather than by permissions.
        QTest::addColumn<QString>("regularFile"); // relative to the temporary folder
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("entryFolder"); // a non-empty folder where the entry goes

        QTest::newRow("autostart is a file") << "autostart"
                                             << "autostart" << QString();
        QTest::newRow("below a file") << "config"
                                      << "config/autostart" << QString();
        QTest::newRow("entry is a folder") << QString() << "autostart"
                                           << "autostart/orvanetavo.desktop";
    }

    void registerFailsWhenTheEntryCannotBeWritten()
    {
        QFETCH(QString, regularFile);
        QFETCH(QString, folder);
        QFETCH(QString, entryFolder);
        if (!regularFile.isEmpty())
            writeFile(m_dir.filePath(regularFile), "not a folder");
        if (!entryFolder.isEmpty())
            writeFile(m_dir.filePath(entryFolder + "/inside"), "keeps the folder non-empty");

        AutostartLoginItem item("/usr/bin/orvanetavo", m_dir.filePath(folder));
        QString error;
        QVERIFY(!item.registerItem(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains('\n'), qPrintable(error));
        QVERIFY2(error.contains(m_dir.filePath(folder)), qPrintable(error));
        QCOMPARE(item.status(), Status::NotRegistered);
        if (!regularFile.isEmpty()) {
            QFile file(m_dir.filePath(regularFile));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("not a folder"));
        }
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

    void unregisterSucceedsWhenThereIsNoFolder()
    {
        AutostartLoginItem item("orvanetavo", m_dir.filePath("missing/autostart"));
        QVERIFY(item.unregisterItem(nullptr));
        QVERIFY(!QFileInfo::exists(m_dir.filePath("missing")));
    }

    void unregisterRemovesAHiddenEntryAndADanglingLink()
    {
        AutostartLoginItem item("orvanetavo", autostartFolder());
        writeFile(item.filePath(), "[Desktop Entry]\nHidden=true\n");
        QVERIFY(item.unregisterItem(nullptr));
        QVERIFY(!QFileInfo::exists(item.filePath()));

        QVERIFY(QFile::link(m_dir.filePath("nowhere"), item.filePath()));
        QVERIFY(QFileInfo(item.filePath()).isSymLink());
        QVERIFY(item.unregisterItem(nullptr));
        QVERIFY(!QFileInfo(item.filePath()).isSymLink());
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

    void defaultFolderFollowsXdgConfigHome_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("configHome");
        QTest::addColumn<QString>("folder");

        QTest::newRow("absolute") << std::optional<QByteArray>("/srv/conf")
                                  << QStringLiteral("/srv/conf/autostart");
        QTest::newRow("unset") << std::optional<QByteArray>() << "/home/lea/.config/autostart";
        QTest::newRow("empty") << std::optional<QByteArray>("") << "/home/lea/.config/autostart";
        QTest::newRow("relative") << std::optional<QByteArray>("conf")
                                  << "/home/lea/.config/autostart";
    }

    void defaultFolderFollowsXdgConfigHome()
    {
        QFETCH(std::optional<QByteArray>, configHome);
        QFETCH(QString, folder);
        const EnvironmentOverride home("HOME", QByteArray("/home/lea"));
        const EnvironmentOverride config("XDG_CONFIG_HOME", configHome);
        QCOMPARE(AutostartLoginItem::defaultAutostartFolder(), folder);
        QCOMPARE(AutostartLoginItem().filePath(), folder + "/orvanetavo.desktop");
    }

    void commandIsTheAppImageWhenThereIsOne_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("appImage");
        QTest::addColumn<bool>("usesAppImage");

        QTest::newRow("not in an AppImage") << std::optional<QByteArray>() << false;
        QTest::newRow("empty") << std::optional<QByteArray>("") << false;
        QTest::newRow("existing image") << std::optional<QByteArray>("OrvaneTavo.AppImage") << true;
        QTest::newRow("image gone") << std::optional<QByteArray>("gone.AppImage") << false;
        QTest::newRow("a folder") << std::optional<QByteArray>("folder.AppImage") << false;
    }

    void commandIsTheAppImageWhenThereIsOne()
    {
        QFETCH(std::optional<QByteArray>, appImage);
        QFETCH(bool, usesAppImage);
        writeFile(m_dir.filePath("OrvaneTavo.AppImage"), "image");
        QVERIFY(QDir().mkpath(m_dir.filePath("folder.AppImage")));
        if (appImage && !appImage->isEmpty())
            appImage = QFile::encodeName(m_dir.filePath(QString::fromUtf8(*appImage)));

        const EnvironmentOverride override("APPIMAGE", appImage);
        const QString expected
            = usesAppImage ? QFile::decodeName(*appImage) : QCoreApplication::applicationFilePath();
        QCOMPARE(AutostartLoginItem::commandForThisProcess(), expected);
    }
};

QTEST_GUILESS_MAIN(TestAutostartLoginItem)
#include "TestAutostartLoginItem.moc"
