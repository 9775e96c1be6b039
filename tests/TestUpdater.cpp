#include "FeedServer.h"
#include "settings/TavoSettings.h"
#include "updater/UpdateVerifier.h"
#include "updater/Updater.h"
#include "updater/UpdaterWindow.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <sodium.h>

using Kind = UpdateFeed::PackageKind;
using Page = UpdaterWindow::Page;
using Response = FeedServer::Response;

class TestUpdater : public QObject
{
    Q_OBJECT

private:
    FeedServer m_server;
    QTemporaryDir m_dir;
    QByteArray m_publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, 0);
    QByteArray m_secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, 0);
    // Moved by hand; every test starts with no check done, so its value is never reset.
    QDateTime m_now = QDateTime(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC);
    QStringList m_restarts;
    QString m_appImage;
    const QByteArray m_next = QByteArray("new AppImage ") + QByteArray(200000, 'n');

    // A feed that offers `version`, with an AppImage entry for `appImage` whose statement is
    // signed as `signedKind` and `signedVersion` (by default: what the feed says).
    QByteArray feed(const QString &version, const QByteArray &appImage = {},
        const QString &signedVersion = {}, Kind signedKind = Kind::AppImage) const
    {
        QJsonObject json{{"version", version}, {"notes", "Des nouveautés."}};
        if (!appImage.isNull()) {
            const QByteArray sha256
                = QCryptographicHash::hash(appImage, QCryptographicHash::Sha256);
            const QByteArray statement = UpdateVerifier::statement(signedKind,
                signedVersion.isEmpty() ? version : signedVersion, appImage.size(), sha256);
            QByteArray signature(crypto_sign_BYTES, 0);
            crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                reinterpret_cast<const unsigned char *>(statement.constData()), statement.size(),
                reinterpret_cast<const unsigned char *>(m_secretKey.constData()));
            const QJsonObject package{{"url", m_server.url("/app.AppImage").toString()},
                {"size", appImage.size()}, {"sha256", QString(sha256.toHex())},
                {"signature", QString(signature.toBase64())}};
            json.insert("packages", QJsonObject{{"appimage", package}});
        }
        return QJsonDocument(json).toJson();
    }

    // Runs as if started from m_appImage.
    std::unique_ptr<Updater> makeUpdater()
    {
        auto updater
            = std::make_unique<Updater>(Updater::Config{.feedUrl = m_server.url("/feed.json"),
                .publicKey = m_publicKey,
                .currentVersion = "1.2.0",
                .appImagePath = m_appImage,
                .downloadFolder = m_dir.filePath("downloads"),
                .feedSizeCap = 4096,
                .timeoutMs = 500});
        updater->clock = [this] { return m_now; };
        updater->restartInto = [this](const QString &path) { m_restarts.append(path); };
        return updater;
    }

    static bool writeFileAt(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) > 0;
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(sodium_init() >= 0);
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(m_publicKey.data()),
            reinterpret_cast<unsigned char *>(m_secretKey.data()));
        QVERIFY2(m_server.start(), "the test's HTTPS server did not start");
    }

    void init()
    {
        QFile::remove(TavoSettings::defaults().fileName());
        // Automatic checks are off until the user turns them on; these tests turn them on.
        QVERIFY(!Updater(Updater::Config{}).automaticallyChecksForUpdates());
        TavoSettings::defaults().setBool(Updater::automaticChecksKey, true);
        m_server.requests.clear();
        m_restarts.clear();
        QDir(m_dir.filePath("downloads")).removeRecursively();
        QFile::remove(m_dir.filePath("downloads"));
        QFile old(m_appImage = m_dir.filePath("OrvaneTavo.AppImage"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old AppImage") > 0);
        old.setPermissions(old.permissions() | QFileDevice::ExeOwner);
    }

    void checkEndsInTheRightWindow_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<Page>("page");
        QTest::newRow("newer") << Response{200, feed("1.10.0")} << Page::Available;
        QTest::newRow("same") << Response{200, feed("1.2.0")} << Page::UpToDate;
        QTest::newRow("pre-release") << Response{200, feed("2.0.0-beta.1")} << Page::UpToDate;
        QTest::newRow("malformed") << Response{200, "{\"version\": "} << Page::Failure;
        const QByteArray big = feed("9.0.0").replace("Des nouveautés.", QByteArray(5000, 'x'));
        QTest::newRow("over the cap") << Response{200, big} << Page::Failure;
        QTest::newRow("time-out") << Response{200, {}, true} << Page::Failure;
        QTest::newRow("404") << Response{404, feed("9.0.0")} << Page::Failure;
    }

    void checkEndsInTheRightWindow()
    {
        QFETCH(Response, response);
        QFETCH(Page, page);
        m_server.routes["/feed.json"] = response;
        auto updater = makeUpdater();
        QSignalSpy finished(updater.get(), &Updater::checkFinished);

        // In the background only an offer shows the window.
        updater->checkInBackgroundIfDue();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(updater->window() && updater->window()->isVisible(), page == Page::Available);
        // Only a check that got an answer counts as done.
        QCOMPARE(updater->lastCheck().isValid(), page != Page::Failure);

        // Asked for by the user, every outcome is said in the window.
        updater->checkForUpdates();
        QVERIFY(updater->window()->isVisible());
        QCOMPARE(updater->window()->page(), Page::Checking);
        // A second request while the first runs starts nothing new.
        updater->checkForUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 5000);
        QCOMPARE(updater->window()->page(), page);
        QCOMPARE(m_server.requests, (QStringList{"/feed.json", "/feed.json"}));
    }

    void backgroundChecksFollowTheIntervalAndTheSwitch()
    {
        m_server.routes["/feed.json"] = {200, feed("1.2.0")};
        auto updater = makeUpdater();
        updater->setUpdateCheckInterval(3600);
        QSignalSpy finished(updater.get(), &Updater::checkFinished);

        updater->checkInBackgroundIfDue();
        QTRY_COMPARE(finished.size(), 1);

        m_now = m_now.addSecs(3599);
        updater->checkInBackgroundIfDue();
        QVERIFY(!updater->isBusy());

        m_now = m_now.addSecs(1);
        updater->checkInBackgroundIfDue();
        QTRY_COMPARE(finished.size(), 2);

        updater->setAutomaticallyChecksForUpdates(false);
        m_now = m_now.addDays(30);
        updater->checkInBackgroundIfDue();
        QVERIFY(!updater->isBusy());
    }

    // A slow link: the package arrives over twice the time-out, but never falls silent for it.
    void slowDownloadThatKeepsComingIsInstalled()
    {
        m_server.routes["/feed.json"] = {200, feed("1.3.0", m_next)};
        FeedServer::Response slow{200, m_next};
        slow.trickleMs = 100;
        m_server.routes["/app.AppImage"] = slow;
        auto updater = makeUpdater();
        updater->checkForUpdates();
        QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
        Q_EMIT updater->window()->installRequested();
        QTRY_COMPARE_WITH_TIMEOUT(updater->window()->page(), Page::ReadyToRestart, 10000);
        QCOMPARE(readFile(m_appImage), m_next);
    }

    // A download folder that cannot be made is no reason to show anything in the background.
    void backgroundDownloadThatCannotStartStaysSilent()
    {
        m_server.routes["/feed.json"] = {200, feed("1.3.0", m_next)};
        m_server.routes["/app.AppImage"] = {200, m_next};
        QVERIFY(writeFileAt(m_dir.filePath("downloads"), "in the way"));
        auto updater = makeUpdater();
        updater->setAutomaticallyDownloadsUpdates(true);
        updater->checkInBackgroundIfDue();
        QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
        QVERIFY(!updater->window() || !updater->window()->isVisible());
        QCOMPARE(readFile(m_appImage), QByteArray("old AppImage"));
    }

    // The feed announces m_next; the server or the statement may say otherwise. Only the genuine
    // file is installed; anything else fails on the page when asked for, silently otherwise.
    void onlyTheSignedPackageIsInstalled_data()
    {
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<QString>("signedVersion");
        QTest::addColumn<Kind>("signedKind");
        QTest::addColumn<bool>("background");
        const auto row = [](const QByteArray &name, const QByteArray &served, bool background,
                             const char *signedVersion = "", Kind signedKind = Kind::AppImage) {
            QTest::newRow(name.constData())
                << served << QString(signedVersion) << signedKind << background;
        };
        const QByteArray flipped = QByteArray(m_next).replace(100, 1, "o");
        for (const bool background : {false, true}) {
            const QByteArray mode = background ? ", in the background" : ", asked for";
            row("genuine" + mode, m_next, background);
            row("one flipped byte" + mode, flipped, background);
            row("longer than announced" + mode, m_next + "x", background);
        }
        row("shorter than announced", m_next.chopped(1), false);
        row("an older file offered as newer", m_next, false, "1.1.0");
        row("the .deb offered as the AppImage", m_next, false, "", Kind::Deb);
    }

    void onlyTheSignedPackageIsInstalled()
    {
        QFETCH(QByteArray, served);
        QFETCH(QString, signedVersion);
        QFETCH(Kind, signedKind);
        QFETCH(bool, background);
        const bool signedRight = signedVersion.isEmpty() && signedKind == Kind::AppImage;
        const bool genuine = served == m_next && signedRight;
        m_server.routes["/feed.json"] = {200, feed("1.3.0", m_next, signedVersion, signedKind)};
        m_server.routes["/app.AppImage"] = {200, served};
        auto updater = makeUpdater();

        if (background) {
            updater->setAutomaticallyDownloadsUpdates(true);
            updater->checkInBackgroundIfDue();
            QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
            // Fetched and checked quietly; only a verified file is offered.
            QCOMPARE(updater->window() && updater->window()->isVisible(), genuine);
        } else {
            updater->checkForUpdates();
            QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
            QCOMPARE(updater->window()->page(), signedRight ? Page::Available : Page::Failure);
        }
        if (updater->window() && updater->window()->page() == Page::Available) {
            Q_EMIT updater->window()->installRequested();
            QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
            QCOMPARE(updater->window()->page(), genuine ? Page::ReadyToRestart : Page::Failure);
        }
        QCOMPARE(readFile(m_appImage), genuine ? m_next : QByteArray("old AppImage"));
        if (genuine) {
            QVERIFY(QFileInfo(m_appImage).isExecutable());
            Q_EMIT updater->window()->restartRequested();
            QCOMPARE(m_restarts, QStringList{m_appImage});
        }
        // Nothing is fetched for a statement that does not match the offer. A refused file is
        // deleted at once; an installed one leaves no copy behind, not even a hidden one.
        QCOMPARE(m_server.requests.size(), signedRight ? 2 : 1);
        QTRY_VERIFY(QDir(m_dir.filePath("downloads"))
                        .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // The download goes to a file of the user's alone, and what is installed is what was checked.
    void downloadsArePrivateAndCheckedAgainWhenInstalled()
    {
        const QString folder = m_dir.filePath("downloads");
        const QString victim = m_dir.filePath("victim");
        QVERIFY(QDir().mkpath(folder));
        QFile::setPermissions(folder, QFile::Permissions(0x7755));
        QVERIFY(writeFileAt(victim, "victim"));
        QVERIFY(QFile::link(victim, folder + "/app.AppImage"));
        m_server.routes["/feed.json"] = {200, feed("1.3.0", m_next)};
        m_server.routes["/app.AppImage"] = {200, m_next};
        auto updater = makeUpdater();
        updater->setAutomaticallyDownloadsUpdates(true);
        updater->checkInBackgroundIfDue();
        QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
        QCOMPARE(updater->window()->page(), Page::Available);

        const QString download = folder + "/app.AppImage";
        QCOMPARE(readFile(victim), QByteArray("victim"));
        QVERIFY(!QFileInfo(download).isSymLink());
        QCOMPARE(readFile(download), m_next);
        QCOMPARE(int(QFile::permissions(download) & 0x0777), 0x0600);
        QCOMPARE(int(QFile::permissions(folder) & 0x0777), 0x0700);

        // Swapped for a file of the same size after the check: refused while it is copied.
        QByteArray swapped = m_next;
        swapped[5] = 'x';
        QVERIFY(writeFileAt(download, swapped));
        Q_EMIT updater->window()->installRequested();
        QTRY_VERIFY_WITH_TIMEOUT(!updater->isBusy(), 5000);
        QCOMPARE(updater->window()->page(), Page::Failure);
        QCOMPARE(readFile(m_appImage), QByteArray("old AppImage"));
        QVERIFY(QDir(folder).isEmpty());
    }

    void onlyHttpsFeeds()
    {
        Updater::Config config;
        config.feedUrl = QUrl("http://127.0.0.1:1/feed.json");
        Updater updater(config);
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(updater.window()->page(), Page::Failure);
    }
};

QTEST_MAIN(TestUpdater)
#include "TestUpdater.moc"
