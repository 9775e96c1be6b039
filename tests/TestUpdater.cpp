#include "FeedServer.h"
#include "settings/TavoSettings.h"
#include "updater/FileReplacer.h"
#include "updater/InstalledPackage.h"
#include "updater/UpdateVerifier.h"
#include "updater/Updater.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include <filesystem>
#include <sodium.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using Hash = QCryptographicHash;
using Kind = UpdateFeed::PackageKind;
using Page = UpdaterWindow::Page;

namespace {

// A feed with both packages, `from` replaced by `to`; single quotes read better in C++.
QByteArray validFeed(const QByteArray &from = {}, const QByteArray &to = {})
{
    const QByteArray package = "{'url': 'https://example.org/NAME', 'size': 41234567, 'sha256': '"
        + QByteArray(32, '\xab').toHex().toUpper() + "', 'signature': '"
        + QByteArray(64, '\x5a').toBase64() + "'}";
    QByteArray feed = "{'version': '1.4.0', 'notes': 'Corrections.', 'page': "
                      "'https://orvanelabs.ch/o', 'packages': {'appimage': "
        + QByteArray(package).replace("NAME", "app.AppImage")
        + ", 'deb': " + QByteArray(package).replace("NAME", "orvanetavo.deb") + "}}";
    return feed.replace(from, to).replace('\'', '"');
}

// A parsed feed in one line: versions, notes' length, page, then each package.
QString describe(const std::optional<UpdateFeed> &feed)
{
    if (!feed)
        return "refused";
    QStringList parts{feed->versionText, feed->version.toString(),
        feed->preRelease ? "pre" : "release", QString::number(feed->notes.size()),
        feed->page.toString()};
    for (const auto &[kind, p] : feed->packages.asKeyValueRange())
        parts << UpdateFeed::kindName(kind) + " " + p.url.fileName() + " " + QString::number(p.size)
                + " " + p.sha256.toHex() + " " + p.signature.toHex().left(4);
    return parts.join('|');
}

// What the window shows, top to bottom: its labels, the notes, the bar's text, then [buttons].
// The texts come from the network: a label that would read markup says so. A widget that the
// window's height cuts off is not shown.
QStringList shown(const UpdaterWindow &window)
{
    QStringList texts;
    for (const QWidget *w : window.findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (!w->isVisibleTo(&window) || !window.rect().contains(w->geometry()))
            continue;
        if (const auto *label = qobject_cast<const QLabel *>(w); label && !label->text().isEmpty())
            texts << (label->textFormat() == Qt::PlainText ? "" : "markup: ") + label->text();
        else if (const auto *button = qobject_cast<const QPushButton *>(w))
            texts << "[" + button->text() + "]";
        else if (const auto *bar = qobject_cast<const QProgressBar *>(w))
            texts << "bar " + bar->text();
        else if (const auto *notes = qobject_cast<const QPlainTextEdit *>(w))
            texts << "notes: " + notes->toPlainText();
    }
    return texts;
}

const QByteArray oldAppImage = "old AppImage";

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

    FeedServer m_server;
    QTemporaryDir m_dir;
    QByteArray m_publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, 0);
    QByteArray m_secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, 0);
    // Moved by hand; every test starts with no check done, so its value is never reset.
    QDateTime m_now = QDateTime(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC);
    QStringList m_restarts;
    const QString m_appImage = m_dir.filePath("OrvaneTavo.AppImage");
    const QString m_downloads = m_dir.filePath("downloads");
    const QByteArray m_next = QByteArray("new AppImage ") + QByteArray(200000, 'n');

    // The valid feed offering `version` with m_next as its AppImage, signed as `kind` and
    // `signedVersion` (by default: what the feed says).
    QByteArray feed(const QString &version, QString signedVersion = {}, Kind kind = Kind::AppImage)
    {
        QByteArray statement = UpdateVerifier::statement(
            kind, signedVersion.isEmpty() ? version : signedVersion, m_next.size(), sha256(m_next));
        QByteArray signature(crypto_sign_BYTES, 0);
        crypto_sign_detached(
            bytes(signature), nullptr, bytes(statement), statement.size(), bytes(m_secretKey));
        return validFeed("1.4.0", version.toUtf8())
            .replace("https://example.org", m_server.url({}).toEncoded())
            .replace("41234567", QByteArray::number(m_next.size()))
            .replace(QByteArray(32, '\xab').toHex().toUpper(), sha256(m_next).toHex())
            .replace(QByteArray(64, '\x5a').toBase64(), signature.toBase64());
    }

    // Runs as if started from m_appImage, with our feed unless told another.
    std::unique_ptr<Updater> makeUpdater(QUrl feed = {})
    {
        auto updater = std::make_unique<Updater>(
            Updater::Config{feed.isEmpty() ? m_server.url("/feed.json") : feed, m_publicKey,
                "1.2.0", m_appImage, false, m_downloads, 4096, 500});
        updater->clock = [this] { return m_now; };
        updater->restartInto = [this](const QString &path) { m_restarts.append(path); };
        return updater;
    }

    static unsigned char *bytes(QByteArray &b) { return reinterpret_cast<uchar *>(b.data()); }
    static bool visible(const Updater &u) { return u.window() && u.window()->isVisible(); }
    static QByteArray sha256(const QByteArray &b) { return Hash::hash(b, Hash::Sha256); }
    static int modeOf(const QString &p) { return int(fs::status(p.toStdString()).permissions()); }
    static constexpr auto everything = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static bool writeFile(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size() && ::chmod(qPrintable(path), mode) == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        crypto_sign_keypair(bytes(m_publicKey), bytes(m_secretKey));
        QVERIFY2(m_server.start(), "the test's HTTPS server did not start");
        QCOMPARE(UpdateVerifier::releasePublicKey().size(), 32);
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
    }

    void init()
    {
        QFile::remove(TavoSettings::defaults().fileName());
        // Off until the user turns them on; the tests turn them on.
        QVERIFY(!Updater(Updater::Config{}).automaticallyChecksForUpdates());
        TavoSettings::defaults().setBool(Updater::automaticChecksKey, true);
        m_server.requests.clear();
        m_restarts.clear();
        fs::remove_all(m_downloads.toStdString());
        QVERIFY(writeFile(m_appImage, oldAppImage, 0755));
    }

    void feedIsRead_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");
        // clang-format off
        const QString package = " 41234567 " + QString("ab").repeated(32) + " 5a5a";
        const QString valid = "1.4.0|1.4.0|release|12|https://orvanelabs.ch/o|appimage app.AppImage" + package + "|deb orvanetavo.deb" + package;
        const QByteArray emoji = "\xF0\x9F\x93\x84", signature = QByteArray(64, '\x5a').toBase64(); // the emoji: two UTF-16 units
        QTest::newRow("valid") << validFeed() << valid;
        QTest::newRow("page and packages left out") << QByteArray("{\"version\": \"2\", \"notes\": \"\"}") << "2|2|release|0|";
        QTest::newRow("four segments") << validFeed("1.4.0", "1.2.3.4") << QString(valid).replace(0, 11, "1.2.3.4|1.2.3.4");
        QTest::newRow("beta") << validFeed("1.4.0", "1.5.0-beta.2") << QString(valid).replace(0, 19, "1.5.0-beta.2|1.5.0|pre");
        QTest::newRow("unknown keys and kinds") << validFeed("'packages': {", "'x': [1], 'packages': {'snap': 4, 'flatpak': {'url': 'ftp://x'}, ").replace("\"size\"", "\"m\": 1, \"size\"") << valid;
        QTest::newRow("surrogate pair across the cut") << validFeed("Corrections.", QByteArray(19999, 'a') + emoji + "b") << QString(valid).replace("|12|", "|19999|");
        QTest::newRow("surrogate pair before the cut") << validFeed("Corrections.", QByteArray(19998, 'a') + emoji + "b") << QString(valid).replace("|12|", "|20000|");
        for (const auto &[name, from, to] : std::initializer_list<std::tuple<const char *, QByteArray, QByteArray>>{
                 {"not JSON", "{", "["}, {"version missing", "'version'", "'v'"}, {"version v1.2", "1.4.0", "v1.2"}, {"version overflow", "1.4.0", "1.99999999999"},
                 {"notes not a string", "'Corrections.'", "null"}, {"page http", "https://orvanelabs", "http://orvanelabs"}, {"url http", "https://example", "http://example"},
                 {"package not an object", "'deb': {", "'deb': 1, 'x': {"}, {"size zero", "41234567", "0"}, {"sha256 missing", "'sha256'", "'other'"},
                 {"sha256 of 63 digits", "ABABAB'", "ABABA'"}, {"signature not base64", signature, "!!!!"}, {"signature 63 bytes", signature, QByteArray(63, 'x').toBase64()}})
            QTest::newRow(name) << validFeed(from, to) << "refused";
        // clang-format on
    }

    void feedIsRead()
    {
        QFETCH(QByteArray, json);
        QTEST(describe(UpdateFeed::parse(json)), "expected");
    }

    // Releases are signed with OpenSSL by the script; the application checks them with
    // libsodium. Both must write the same statement and agree on raw Ed25519, and what the
    // statement says is all that is accepted: another kind, version, size, hash or key, a short
    // key or a short signature is refused.
    void onlyWhatTheReleaseScriptSignedIsAccepted()
    {
        const auto run = [](const QStringList &arguments) {
            QProcess script;
            script.start(SIGN_RELEASE_SCRIPT, arguments);
            const bool ok = script.waitForFinished(30000) && script.exitCode() == 0;
            return ok ? script.readAllStandardOutput().split('\n') : QList<QByteArray>();
        };
        const QString key = m_dir.filePath("release.pem"), path = m_dir.filePath("release.deb");
        const QList<QByteArray> keygen = run({"keygen", key});
        QVERIFY(!(QFile::permissions(key) & (QFile::ReadGroup | QFile::ReadOther)));
        const QByteArray content(1024 * 1024 + 3, 'r'), hash = sha256(content);
        QVERIFY(writeFile(path, content));
        const QList<QByteArray> out = run({"sign", key, path, "deb", "1.5.0-beta.2"});
        QCOMPARE(out.mid(0, 2), QByteArrayList({"size: 1048579", "sha256: " + hash.toHex()}));
        const QByteArray sig = QByteArray::fromBase64(out.value(2).mid(11));
        const QByteArray pub = QByteArray::fromBase64(keygen.value(0));
        const char *const beta = "1.5.0-beta.2";
        // clang-format off
        const struct { Kind kind; const char *version; qint64 size; QByteArray sha, key, sig; } rows[] = {
            {Kind::Deb, beta, content.size(), hash, pub, sig}, {Kind::AppImage, beta, content.size(), hash, pub, sig},
            {Kind::Deb, "1.5.0", content.size(), hash, pub, sig}, {Kind::Deb, beta, content.size() + 1, hash, pub, sig},
            {Kind::Deb, beta, content.size(), sha256("r"), pub, sig}, {Kind::Deb, beta, content.size(), hash, m_publicKey, sig},
            {Kind::Deb, beta, content.size(), hash, pub.chopped(1), sig}, {Kind::Deb, beta, content.size(), hash, pub, sig.chopped(1)}};
        // clang-format on
        for (const auto &r : rows)
            QCOMPARE(UpdateVerifier::verify(r.kind, r.version, {{}, r.size, r.sha, r.sig}, r.key),
                &r == rows);
        // A second keygen never replaces the makers' key.
        QVERIFY(run({"keygen", key}).isEmpty());
    }

    // Whatever stops a replacement, the old file stays whole and nothing is left beside it.
    void fileReplacement()
    {
        // Numbers in a row: a chunk written twice or out of order shows.
        QByteArray big;
        for (int i = 0; big.size() < 3 * 1024 * 1024; ++i)
            big += QByteArray::number(i) + ' ';
        const QByteArray next = big.left(200000), old = big.mid(3, 100000);
        // The old target's mode (0: none), the source (null: none), the content whose SHA-256 is
        // expected, and what the last look before the rename says: several chunks, empty, a new
        // target, interrupted before the rename, the source swapped after the check, no source.
        // clang-format off
        const struct { mode_t mode; QByteArray source, checked; bool commit; } rows[] = {
            {0750, big, big, true}, {0600, "", "", true}, {0, next, next, true}, {0755, next, next, false},
            {0755, QByteArray(next).replace(150000, 1, "x"), next, true}, {0755, {}, next, true}};
        // clang-format on
        for (const auto &[mode, source, checked, commit] : rows) {
            const QTemporaryDir dir;
            const QString target = dir.filePath("OrvaneTavo.AppImage"), from = dir.filePath("part");
            // The new file's mode depends neither on the umask nor on the source's mode.
            const auto restoreUmask = qScopeGuard([old = ::umask(077)] { ::umask(old); });
            QVERIFY(mode == 0 || writeFile(target, old, mode));
            QVERIFY(source.isNull() || writeFile(from, source, 0604));
            const bool replacing = source == checked && commit;
            // At the last look the new content is whole elsewhere; the target is still the old.
            const auto lastLook = [&] { return readFile(target) == (mode ? old : "") && commit; };
            QCOMPARE(
                FileReplacer::replace(target, from, sha256(checked), nullptr, lastLook), replacing);
            QCOMPARE(readFile(target), replacing ? source : old);
            QCOMPARE(modeOf(target), int(mode ? mode : 0755));
            QCOMPARE(QDir(dir.path()).entryList(everything).size(), source.isNull() ? 1 : 2);
        }
    }

    // The version apt installed, without epoch or Debian revision, to compare with the feed's.
    void installedPackage()
    {
        const QByteArray ours = "/.\n/usr\n/usr/bin\n/usr/bin/orvanetavo\n/usr/share/man/man1\n";
        const auto stanza = [](const QByteArray &status) {
            return "Package: orvanetavo\nStatus: " + status
                + "\nPriority: optional\nVersion: 0.1.0\nDescription: colle\n .\n second line\n";
        };
        const QByteArray installed = stanza("install ok installed");
        // clang-format off
        // A neighbour whose long description quotes stanza lines, as descriptions may.
        const QByteArray neighbour = "Package: orvanetavo-doc\nStatus: install ok installed\nVersion: 9.9\nDescription: x\n Package: orvanetavo\n Version: 7.7.7\n\n";
        // The file list, the status file (empty: none), the version found (empty: not ours).
        // Installed: alone, after a neighbour quoting us, in the last stanza without a blank line,
        // followed by another package. Not: removed with its configuration kept, half-installed,
        // the binary not among the package's files, no file list, only the neighbour, no status.
        const struct { QByteArray list, status; const char *version; } rows[] = {
            {ours, installed, "0.1.0"}, {ours, neighbour + installed, "0.1.0"}, {ours, neighbour + installed.chopped(1), "0.1.0"},
            {ours, installed + "\n" + QByteArray(installed).replace("orvanetavo", "other").replace("0.1.0", "2.0.0"), "0.1.0"},
            {ours, stanza("deinstall ok config-files"), ""}, {ours, stanza("install reinstreq half-installed"), ""},
            {"/usr/bin/orvanetavo.old\n", installed, ""}, {{}, installed, ""}, {ours, neighbour, ""}, {ours, {}, ""}};
        // clang-format on
        for (const auto &[list, status, version] : rows) {
            const QTemporaryDir dpkg;
            QVERIFY(list.isEmpty() || writeFile(dpkg.filePath("info/orvanetavo.list"), list));
            QVERIFY(status.isEmpty() || writeFile(dpkg.filePath("status"), status));
            const auto found
                = InstalledPackage::owning("/usr/bin/orvanetavo", "orvanetavo", dpkg.path());
            QCOMPARE(found.value_or(InstalledPackage()).version, QString(version));
        }
        for (const auto &[debian, upstream] : {std::pair{"0.1.0", "0.1.0"}, {"0.1.0-1", "0.1.0"},
                 {"1:0.2.0", "0.2.0"}, {"2:1.0-rc1-3", "1.0-rc1"}})
            QCOMPARE(InstalledPackage({"orvanetavo", debian}).upstreamVersion(), QString(upstream));
    }

    // Each page, reached from one that shows other things so that nothing is left over, then
    // left one way. Escape and the title bar's close button report the same as the page's way
    // out; the updater closing the window itself hears nothing back. "Later" is only the window
    // closing. Each page is saved to screenshots/updater-<row>.png under the build folder, to
    // look at.
    void windowPages()
    {
        // clang-format off
        const QString fetching = "Téléchargement de la mise à jour…";
        const QStringList offer{"OrvaneTavo 1.5.0 est disponible\u00a0!", "Tu as la version 1.4.0. Veux-tu l'installer maintenant\u00a0?", "Nouveautés\u00a0:", "notes: <b>Vite</b>", "[Plus tard]", "[Installer maintenant]"};
        const auto available = [](UpdaterWindow &w) { w.showAvailable("1.5.0", "1.4.0", "<b>Vite</b>"); };
        const struct { const char *name; std::function<void(UpdaterWindow &)> show; QStringList expected; QString how; QStringList reported; } rows[] = {
            {"checking", [](UpdaterWindow &w) { w.showChecking(); }, {"Recherche de mises à jour…", "bar ", "[Annuler]"}, "Annuler", {"cancel"}},
            {"up-to-date", [](UpdaterWindow &w) { w.showUpToDate("1.4.0"); }, {"Tu es à jour\u00a0!", "OrvaneTavo 1.4.0 est la dernière version disponible.", "[OK]"}, "OK", {}},
            {"available", available, offer, "Installer maintenant", {"install", "open"}},
            {"available-later", available, offer, "Plus tard", {}},
            {"downloading", [](UpdaterWindow &w) { w.showDownloading(3'400'000, 41'200'000); }, {fetching, "bar 8%", "3,4 Mo sur 41,2 Mo", "[Annuler]"}, "close", {"cancel"}},
            {"downloading-past-total", [](UpdaterWindow &w) { w.showDownloading(50'000'000, 41'200'000); }, {fetching, "bar 100%", "41,2 Mo sur 41,2 Mo", "[Annuler]"}, "escape", {"cancel"}},
            {"downloading-no-total", [](UpdaterWindow &w) { w.showDownloading(12'500'000, 0); }, {fetching, "bar ", "12,5 Mo", "[Annuler]"}, "updater", {}},
            {"ready", [](UpdaterWindow &w) { w.showReadyToRestart("1.5.0"); }, {"La mise à jour est prête\u00a0!", "OrvaneTavo 1.5.0 est installé. Redémarre l'app pour l'utiliser.", "[Plus tard]", "[Redémarrer maintenant]"}, "Redémarrer maintenant", {"restart", "open"}},
            {"failure", [](UpdaterWindow &w) { w.showFailure("Signature non valide."); }, {"La mise à jour a échoué", "Signature non valide.", "[OK]"}, "escape", {}}};
        // clang-format on
        for (const auto &[name, show, expected, how, reported] : rows) {
            UpdaterWindow window;
            window.showAvailable("9.9", "9.8", "notes");
            window.showDownloading(1, 2);
            show(window);
            window.show();
            QCOMPARE(shown(window), expected);
            QVERIFY(window.grab().save(QString(SCREENSHOT_DIR "/updater-%1.png").arg(name)));
            QStringList names;
            for (const auto &[signal, what] : {std::pair{&UpdaterWindow::cancelRequested, "cancel"},
                     {&UpdaterWindow::installRequested, "install"},
                     {&UpdaterWindow::restartRequested, "restart"}})
                connect(&window, signal, this, [&names, what] { names << what; });
            // What the window manager sends for the title bar's close button: a spontaneous event.
            if (how == "escape")
                QTest::keyClick(&window, Qt::Key_Escape);
            else if (QCloseEvent closeButton; how == "close")
                QApplication::sendEvent(window.windowHandle(), &closeButton);
            else if (how == "updater")
                QVERIFY(window.close());
            for (QPushButton *button : window.findChildren<QPushButton *>())
                if (button->isVisibleTo(&window) && button->text() == how)
                    QTest::mouseClick(button, Qt::LeftButton);
            if (window.isVisible())
                names << "open";
            QCOMPARE(names, reported);
        }
    }

    // In the background only an offer shows the window. Asked for by the user, every outcome is
    // said in the window. Background checks then wait for the interval after the last answer
    // (only an answer counts as done), and none start once switched off; the user's own check,
    // cancelled from the window, ends at once. Nothing is fetched but over https.
    void checkEndsInTheRightWindow()
    {
        // clang-format off
        const std::pair<FeedServer::Response, Page> rows[] = {
            {{200, feed("1.10.0")}, Page::Available}, {{200, feed("1.2.0")}, Page::UpToDate}, {{200, feed("2.0.0-beta.1")}, Page::UpToDate}, // newer, the same, a pre-release
            {{200, QByteArray(5000, ' ') + feed("9.0.0")}, Page::Failure}, // blank space is valid JSON: only the size refuses it
            {{200, {}, true}, Page::Failure}, {{203, feed("9.0.0")}, Page::Failure}}; // a time-out, a 203 from a proxy
        // clang-format on
        for (const auto &[response, page] : rows) {
            init();
            m_server.routes["/feed.json"] = response;
            auto updater = makeUpdater();
            updater->checkInBackgroundIfDue();
            QTRY_VERIFY(!updater->isBusy());
            QCOMPARE(visible(*updater), page == Page::Available);
            updater->checkForUpdates();
            QVERIFY(visible(*updater) && updater->window()->page() == Page::Checking);
            QTRY_VERIFY(!updater->isBusy());
            QCOMPARE(updater->window()->page(), page);
            // The interval, by default a day; then a month.
            for (const auto &[seconds, on] :
                {std::pair{86399, true}, {1, true}, {30 * 86400, false}}) {
                m_now = m_now.addSecs(seconds);
                updater->setAutomaticallyChecksForUpdates(on);
                updater->checkInBackgroundIfDue();
                QTRY_VERIFY(!updater->isBusy());
            }
            // The background check's request, the user's, then the one due after the interval (and
            // the one before it, with no answer to count from); none once switched off.
            QCOMPARE(m_server.requests.size(), page == Page::Failure ? 4 : 3);
            updater->checkForUpdates();
            Q_EMIT updater->window()->cancelRequested();
            QVERIFY(!updater->isBusy());
        }
        const auto plain = makeUpdater(QUrl("http://127.0.0.1:1/feed.json"));
        plain->checkForUpdates();
        QCOMPARE(plain->window()->page(), Page::Failure);
    }

    // The feed announces m_next; the server, the statement or the disk may say otherwise. Only
    // the genuine file is installed; anything else fails on the page when asked for, silently
    // otherwise. The download goes to a file of the user's alone, never through a link planted
    // in its way, and what is installed is what was checked.
    void onlyTheSignedPackageIsInstalled()
    {
        const QByteArray right = feed("1.3.0"), flipped = QByteArray(m_next).replace(100, 1, "o");
        // The file served, the feed, in the background or asked for, and what else goes wrong.
        // clang-format off
        const struct { QByteArray served, signedFeed; bool background; QString trouble = {}; } rows[] = {
            {m_next, right, false}, {flipped, right, false}, {m_next + "x", right, false}, // genuine, one flipped byte, longer than announced
            {m_next, right, true}, {flipped, right, true}, {m_next + "x", right, true}, // the same in the background
            {m_next, feed("1.3.0", "1.1.0"), false}, {m_next, feed("1.3.0", "", Kind::Deb), false}, // an older file offered as newer, the .deb as the AppImage
            {m_next, right, false, "slow"}, // ten parts over twice the time-out, but never silent for as long as it
            {m_next, right, true, "swapped"}, // after the check
            {m_next, right, true, "blocked"}}; // a download folder that cannot be made is no reason to show anything in the background
        // clang-format on
        const QString download = m_downloads + "/app.AppImage", victim = m_dir.filePath("victim");
        for (const auto &[served, signedFeed, background, trouble] : rows) {
            init();
            const bool signedRight = signedFeed == right;
            const bool fetched = served == m_next && signedRight && trouble != "blocked";
            const bool genuine = fetched && trouble != "swapped";
            QVERIFY(writeFile(victim, "victim") && QDir().mkpath(m_downloads)
                && QFile::setPermissions(m_downloads, QFile::Permissions(0x7755))
                && QFile::link(victim, download));
            if (trouble == "blocked")
                QVERIFY(QDir(m_downloads).removeRecursively() && writeFile(m_downloads, "file"));
            m_server.routes["/feed.json"] = {200, signedFeed};
            m_server.routes["/app.AppImage"]
                = {.body = served, .trickleMs = trouble == "slow" ? 100 : 0};
            auto updater = makeUpdater();
            updater->setAutomaticallyDownloadsUpdates(background);
            background ? updater->checkInBackgroundIfDue() : updater->checkForUpdates();
            QTRY_VERIFY(!updater->isBusy());
            // Fetched and checked quietly in the background; only a verified file is offered.
            QCOMPARE(visible(*updater), !background || fetched);
            if (!background)
                QCOMPARE(updater->window()->page(), signedRight ? Page::Available : Page::Failure);
            if (background && fetched) // the user's alone, whatever the folder was before
                QCOMPARE(QList({modeOf(download), modeOf(m_downloads)}), QList({0600, 0700}));
            // Swapped for a file of the same size after the check: refused while it is copied.
            if (trouble == "swapped")
                QVERIFY(writeFile(download, QByteArray(m_next).replace(5, 1, "x"), 0600));
            if (visible(*updater) && updater->window()->page() == Page::Available) {
                Q_EMIT updater->window()->installRequested();
                QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 10000);
                QCOMPARE(updater->window()->page(), genuine ? Page::ReadyToRestart : Page::Failure);
            }
            QCOMPARE(readFile(m_appImage), genuine ? m_next : oldAppImage);
            QCOMPARE(readFile(victim), QByteArray("victim"));
            if (genuine)
                Q_EMIT updater->window()->restartRequested();
            QCOMPARE(m_restarts, genuine ? QStringList{m_appImage} : QStringList());
            // Nothing is fetched for a statement that does not match the offer (the planted link is
            // left alone). A refused file is deleted at once; an installed one leaves no copy
            // behind, not even a hidden one.
            QCOMPARE(m_server.requests.size(), signedRight && trouble != "blocked" ? 2 : 1);
            QTRY_COMPARE(QDir(m_downloads).entryList(everything),
                signedRight ? QStringList() : QStringList{"app.AppImage"});
        }
    }
};

QTEST_MAIN(TestUpdater)
#include "TestUpdater.moc"
