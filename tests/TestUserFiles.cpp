// What the application keeps on this machine for the user: the settings store, the login item
// and the socket of the one running copy. Each must survive whatever it meets at its path.
#include "platform/AutostartLoginItem.h"
#include "platform/RunningAppImage.h"
#include "platform/SingleInstance.h"
#include "settings/TavoSettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QLockFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <future>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Status = LoginItem::Status;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Puts at `path` one of the hostile things. A socket is bound (and listens, never answering, for
// "listener") until `*fd` is closed. False when it could not be put there.
bool plant(const QString &kind, const QString &path, const QByteArray &bytes, int *fd)
{
    const QByteArray name = QFile::encodeName(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (kind == "file")
        return writeFile(path, bytes);
    if (kind == "fifo")
        return ::mkfifo(name.constData(), 0600) == 0;
    if (kind == "folder")
        return QDir().mkpath(path + "/inside");
    if (kind == "link")
        return ::symlink(bytes.constData(), name.constData()) == 0;
    *fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
    return ::bind(*fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && (kind != "listener" || ::listen(*fd, 8) == 0)
        && (kind != "foreign" || ::chown(name.constData(), 65534, 65534) == 0);
}

// Takes every descriptor this process may still open but `spare`, until it ends: a process at
// its limit.
struct NoDescriptorLeft
{
    rlimit saved{};
    std::vector<int> held;
    explicit NoDescriptorLeft(int spare = 0)
    {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit low{std::min<rlim_t>(saved.rlim_cur, 512), saved.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::dup(0)) >= 0;)
            held.push_back(fd);
        for (; spare > 0; --spare, held.pop_back())
            ::close(held.back());
    }
    ~NoDescriptorLeft()
    {
        for (int fd : held)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    }
};

// A later launch, as another process makes it: its wait for an answer leaves this thread's loop
// free to give one. True when it runs rather than hand over.
bool launchRuns(const QString &folder)
{
    auto launch
        = std::async(std::launch::async, [folder] { return SingleInstance(folder).claim(); });
    while (launch.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QTest::qWait(5);
    return launch.get();
}

} // namespace

class TestUserFiles : public QObject
{
    Q_OBJECT

private:
    SettingsStore store;
    QTemporaryDir m_dir;
    const QByteArray m_configHome = qgetenv("XDG_CONFIG_HOME");

    QString path() const { return store.fileName(); }
    QJsonObject fileAsJson() const { return QJsonDocument::fromJson(readFile(path())).object(); }

private Q_SLOTS:
    void init()
    {
        qputenv("XDG_CONFIG_HOME", m_configHome); // whatever the test before set it to
        QDir(QFileInfo(path()).absolutePath()).removeRecursively();
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        // A call that blocks ends the test here rather than at the suite's time-out.
        ::alarm(60);
    }

    // Only a stored false turns an engine switch off; the count reads whole within its range and
    // never wraps. An empty file reads as nothing stored.
    void readsAndCounter()
    {
        const qint64 max = std::numeric_limits<qint64>::max(), min = -max - 1;
        // clang-format off
        const struct { QByteArray file; QList<qint64> read; } rows[] = { // switch, count, count after one more
            {{}, {1, 0, 1}}, {R"({"OTEnabled": false})", {0, 0, 1}}, {R"({"OTEnabled": "false", "OTCleanedCount": "x"})", {1, 0, 1}},
            {R"({"OTCleanedCount": )" + QByteArray::number(max) + "}", {1, max, max}}, {R"({"OTCleanedCount": 1e20})", {1, max, max}},
            {R"({"OTCleanedCount": -1e20})", {1, min, -max}}, {R"({"OTCleanedCount": 41.9})", {1, 41, 42}}, {R"({"OTCleanedCount": " 41"})", {1, 41, 42}}};
        // clang-format on
        for (const auto &row : rows) {
            QVERIFY(writeFile(path(), row.file));
            // A braced list is read left to right.
            QCOMPARE(QList<qint64>({TavoSettings::isEnabled(), store.integer("OTCleanedCount"),
                         store.increment("OTCleanedCount")}),
                row.read);
        }
    }

    // Whatever sits at the settings file's path or the socket's name, or at their locks': reads
    // and writes return at once, the thing is moved aside, beside an earlier one, and never
    // written over; a launch runs and is found in its turn; nothing but a copy of ours that
    // answers is ever handed over to.
    void oddThingsAtOurPaths()
    {
        // What a crash, another program or a person may leave at the path of a file of ours, or of
        // its lock: what plant() puts there, its bytes or where a link leads, and where.
        // clang-format off
        const struct { QString kind; QByteArray bytes = {}; QString suffix = {}; } rows[] = {
            {"file", R"({"OTEnabled": fal)"}, {"file", "[1, 2]"}, {"fifo"}, {"folder"}, {"link", "/nonexistent/x"},
            {"link", "live"}, {"socket"}, {"listener"}, // a crash's socket, a program that never answers
            {"folder", {}, ".lock"}, {"fifo", {}, ".lock"}, {"foreign"}}; // another user's socket, last: it needs root
        // clang-format on
        for (const auto &row : rows) {
            init();
            QTemporaryDir elsewhere;
            SingleInstance live(elsewhere.path());
            QSignalSpy liveAsked(&live, &SingleInstance::activationRequested);
            QVERIFY(live.claim());
            const QByteArray bytes
                = row.bytes == "live" ? QFile::encodeName(live.socketPath()) : row.bytes;
            const QString odd = path() + row.suffix;
            QVERIFY(writeFile(odd + ".corrupt", "earlier"));
            int fds[2] = {-1, -1};
            const auto closeSockets = qScopeGuard([&] { ::close(fds[0]), ::close(fds[1]); });
            const QString socket = m_dir.filePath("orvanetavo.socket") + row.suffix;
            if (!plant(row.kind, odd, bytes, &fds[0]) || !plant(row.kind, socket, bytes, &fds[1]))
                QSKIP("needs root to give a file to another user");

            store.setInteger("OTCleanedCount", 7);
            QCOMPARE(fileAsJson(), QJsonObject({{"OTCleanedCount", 7}}));
            QCOMPARE(readFile(odd + ".corrupt"), QByteArray("earlier"));
            QVERIFY(QFile::exists(odd + ".1.corrupt") || QFileInfo(odd + ".1.corrupt").isSymLink());
            QVERIFY(row.kind != "file" || readFile(odd + ".1.corrupt") == bytes);

            SingleInstance launched(m_dir.path());
            QSignalSpy asked(&launched, &SingleInstance::activationRequested);
            QVERIFY(launched.claim());
            QVERIFY(!launchRuns(m_dir.path()));
            QCOMPARE(std::pair(asked.count(), liveAsked.count()), std::pair(1ll, 0ll));
        }
    }

    // However the file fails the store, every reader gets what was last chosen, for this run:
    // a second click turns the switch back on, the count goes on from what was stored, a file
    // that could not be read is not written over, and each failure is logged once. Once the file
    // can be written again, writes go on from there and keep what others stored.
    // The failures: a lock never released, no descriptor left, one left (enough to take the lock,
    // not to read the file under it), and all of it from the start, when nothing was ever read to
    // go by: the count shown is then a guess, never stored.
    void failuresHoldForThisRun()
    {
        const QByteArray stored = R"({"OTCleanedCount": 500, "OTOnboarded": true})";
        for (const QString failure : {"lock", "descriptors", "one", "from start"}) {
            const bool fromStart = failure == "from start";
            if (fromStart) // a configuration home of its own, until the next test's init()
                qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath("config")));
            QVERIFY(writeFile(path(), stored));
            QVERIFY(fromStart || store.integer("OTCleanedCount") == 500);
            QLockFile lock(path() + ".lock");
            QVERIFY(failure != "lock" || lock.tryLock(0));
            const int savedStderr = ::dup(2);
            const int log = ::creat(QFile::encodeName(m_dir.filePath("log")), 0600);
            ::dup2(log, 2);
            ::close(log);
            std::optional<NoDescriptorLeft> exhausted;
            if (failure != "lock")
                exhausted.emplace(failure == "one" ? 1 : 0);

            store.setBool("OTEnabled", false);
            store.setBool("OTEnabled", !TavoSettings::isEnabled());
            const QList<qint64> seen{TavoSettings::isEnabled(), store.increment("OTCleanedCount"),
                store.increment("OTCleanedCount"), store.integer("OTCleanedCount")};

            exhausted.reset();
            ::dup2(savedStderr, 2);
            ::close(savedStderr);
            QCOMPARE(
                seen, (fromStart ? QList<qint64>{1, 1, 2, 2} : QList<qint64>{1, 501, 502, 502}));
            const QByteArray logged = readFile(m_dir.filePath("log"));
            const QList<qsizetype> lines{logged.count("OTEnabled"), logged.count("OTCleanedCount"),
                logged.count("réglages: cannot read")};
            QCOMPARE(lines, (QList<qsizetype>{1, 1, failure == "descriptors" || fromStart}));
            QCOMPARE(readFile(path()), stored);

            lock.unlock();
            QCOMPARE(store.increment("OTCleanedCount"), fromStart ? 501 : 503);
            QCOMPARE(fileAsJson(),
                QJsonObject({{"OTCleanedCount", fromStart ? 501 : 503}, {"OTOnboarded", true}}));
            store.setBool("OTEnabled", true);
        }
    }

    // A client of the running copy is dropped once it sent more than a request or stayed
    // silent; out of descriptors, the copy keeps its name and takes the client once it can.
    // Either way it answers the next launch.
    void clientsNeverHoldTheCopyUp()
    {
        const QByteArray mebibyte(1 << 20, 'x'), show = "show\n";
        // clang-format off
        const struct { QByteArray sent; int droppedWithinMs, asked; bool starved; } rows[] = {
            {show, 500, 1, false}, {"quit\n", 500, 0, false}, {mebibyte, 500, 0, false},
            {show + mebibyte, 500, 1, false}, {{}, 3000, 0, false}, {show, 2000, 1, true}};
        // clang-format on
        for (const auto &row : rows) {
            SingleInstance live(m_dir.path());
            QSignalSpy asked(&live, &SingleInstance::activationRequested);
            QVERIFY(live.claim());
            std::optional<NoDescriptorLeft> none;
            if (row.starved)
                none.emplace(1); // the client's own
            QLocalSocket client;
            client.connectToServer(live.socketPath());
            QVERIFY(client.waitForConnected(1000));
            QTest::qWait(row.starved ? 200 : 0);
            none.reset();
            client.write(row.sent);
            QTRY_COMPARE_WITH_TIMEOUT(
                client.state(), QLocalSocket::UnconnectedState, row.droppedWithinMs);
            QCOMPARE(asked.count(), row.asked);
            QVERIFY(!launchRuns(m_dir.path()));
        }
    }

    // $APPIMAGE counts only for a binary inside $APPDIR: every program an AppImage starts
    // inherits both.
    void appImageIsTrustedOnlyFromItsOwnMount()
    {
        const QString inside = "mount/usr/bin/orvanetavo";
        for (const char *file : {"image", "mount/usr/bin/orvanetavo", "mount-other/o"})
            QVERIFY(writeFile(m_dir.filePath(file), "#!"));
        // clang-format off
        const struct { QString image, mount, binary; bool trusted; } rows[] = { // relative to a folder
            {"image", "mount", inside, true}, {"image", "mount", "mount-other/o", false}, // outside: in the mount's namesake
            {"image", "", inside, false}, {"gone", "mount", inside, false}, // no APPDIR, no such image
            {"image", "/", inside, false}}; // APPDIR is the root
        // clang-format on
        const auto full = [&](const QString &path) {
            return path.isEmpty() || path.startsWith('/') ? path : m_dir.filePath(path);
        };
        for (const auto &row : rows)
            QCOMPARE(RunningAppImage::path(full(row.image), full(row.mount), full(row.binary)),
                row.trusted ? full(row.image) : "");
    }

    // The entry is read as desktops read it; registering writes it whole, quoted as desktops
    // unquote it, over whatever was there, in a folder made on the way; unregistering removes
    // it, and succeeds again once it is gone. The default folder follows XDG_CONFIG_HOME when it
    // is usable.
    void loginItemEntry()
    {
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=orvanetavo\n";
        // clang-format off
        const struct { QByteArray earlier; Status found; QString command = "/usr/bin/orvanetavo", exec = command; } rows[] = { // earlier: the entry found on disk, if not null; exec: as written
            {{}, Status::NotRegistered}, {head, Status::Enabled, "/home/léa/Mes Applis/O", "\"/home/léa/Mes Applis/O\""},
            {head + "Hidden=true\n", Status::NotRegistered, "/tmp/a \"b\"/app", "\"/tmp/a \\\\\"b\\\\\"/app\""},
            {head + "Hidden=false\n", Status::Enabled, "/tmp/100 %f\\app", "\"/tmp/100 %%f\\\\\\\\app\""},
            {head + "[Desktop Action q]\nHidden=true\n", Status::Enabled}, {head + "X-GNOME-Autostart-enabled=false\n", Status::NotRegistered},
            {"", Status::NotRegistered}, {head + "Comment=caf\xe9\n", Status::NotRegistered}}; // empty, not UTF-8
        // clang-format on
        for (const auto &row : rows) {
            AutostartLoginItem item(row.command, m_dir.filePath("autostart"));
            QDir(m_dir.filePath("autostart")).removeRecursively();
            QVERIFY(row.earlier.isNull() || writeFile(item.filePath(), row.earlier));
            QCOMPARE(item.status(), row.found);
            QVERIFY(item.registerItem(nullptr));
            QCOMPARE(item.status(), Status::Enabled);
            const QStringList lines = QString::fromUtf8(readFile(item.filePath())).split('\n');
            QCOMPARE(lines.filter(QRegularExpression("^(Exec|TryExec|Type|Hidden|X-GNOME.*)=")),
                QStringList({"Type=Application", "Exec=" + row.exec,
                    "TryExec=" + QString(row.command).replace("\\", "\\\\"),
                    "X-GNOME-Autostart-enabled=true"}));
            QVERIFY(item.unregisterItem(nullptr) && item.unregisterItem(nullptr));
        }
        // The default folder, as desktops find it.
        qputenv("XDG_CONFIG_HOME", "/srv/conf");
        QCOMPARE(AutostartLoginItem::defaultAutostartFolder(), "/srv/conf/autostart");
        qputenv("XDG_CONFIG_HOME", "conf"); // a relative value is not usable
        QCOMPARE(
            AutostartLoginItem::defaultAutostartFolder(), QDir::homePath() + "/.config/autostart");
    }

    // Tests may run as root, so the entry is made unusable by the shape of the paths rather
    // than by permissions. A failure names its path on one line and changes nothing.
    void failuresNameThePathAndChangeNothing()
    {
        const QString entry = "autostart/orvanetavo.desktop";
        // clang-format off
        const struct { bool registering; QString blocker, named; } rows[] = { // blocker: a file in the way
            {true, "autostart", "autostart"}, {true, entry + "/in", "autostart"}, {false, entry + "/in", entry}};
        // clang-format on
        for (const auto &row : rows) {
            QTemporaryDir dir;
            QVERIFY(writeFile(dir.filePath(row.blocker), "in the way"));
            AutostartLoginItem item("/usr/bin/orvanetavo", dir.filePath("autostart"));
            QString error;
            QVERIFY(row.registering ? !item.registerItem(&error) : !item.unregisterItem(&error));
            QVERIFY2(!error.contains('\n') && error.contains(dir.filePath(row.named)),
                qPrintable(error));
            QCOMPARE(readFile(dir.filePath(row.blocker)), QByteArray("in the way"));
        }
    }
};

QTEST_GUILESS_MAIN(TestUserFiles)
#include "TestUserFiles.moc"
