#include "FeedServer.h"
#include "TavoSettings.h"
#include "Updater.h"
#include "UpdaterWindow.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <sodium.h>

using Page = UpdaterWindow::Page;

class TestUpdater : public QObject
{
    Q_OBJECT

private:
    FeedServer m_server;
    QTemporaryDir m_dir;
    QByteArray m_publicKey;
    QByteArray m_secretKey;
    QDateTime m_now;
    QStringList m_restarts;

    QByteArray feed(const QString &version, const QByteArray &appImage = {}) const
    {
        QJsonObject json{{"version", version}, {"notes", "Des nouveautés."},
            {"page", "https://orvanelabs.ch/orvanetavo"}};
        if (!appImage.isNull()) {
            QByteArray signature(crypto_sign_BYTES, 0);
            crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                reinterpret_cast<const unsigned char *>(appImage.constData()), appImage.size(),
                reinterpret_cast<const unsigned char *>(m_secretKey.constData()));
            json.insert("packages",
                QJsonObject{{"appimage",
                    QJsonObject{{"url", m_server.url("/app.AppImage").toString()},
                        {"size", appImage.size()},
                        {"signature", QString::fromLatin1(signature.toBase64())}}}});
        }
        return QJsonDocument(json).toJson();
    }

    std::unique_ptr<Updater> makeUpdater(
        const QString &appImage = {}, const QByteArray &publicKey = {})
    {
        Updater::Config config;
        config.feedUrl = m_server.url("/feed.json");
        config.publicKey = publicKey.isNull() ? m_publicKey : publicKey;
        config.currentVersion = "1.2.0";
        config.appImagePath = appImage;
        config.downloadFolder = m_dir.filePath("downloads");
        config.feedSizeCap = 4096;
        config.timeoutMs = 500;
        auto updater = std::make_unique<Updater>(config);
        updater->clock = [this] { return m_now; };
        updater->openUrl = [](const QUrl &) { return true; };
        updater->restartInto = [this](const QString &path) { m_restarts.append(path); };
        return updater;
    }

    static bool windowShown(const Updater &updater)
    {
        return updater.window() && updater.window()->isVisible();
    }

    QString writeFile(const QString &name, const QByteArray &content)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write(content);
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        return file.fileName();
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
        m_publicKey.resize(crypto_sign_PUBLICKEYBYTES);
        m_secretKey.resize(crypto_sign_SECRETKEYBYTES);
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(m_publicKey.data()),
            reinterpret_cast<unsigned char *>(m_secretKey.data()));
        QVERIFY2(m_server.start(), "the test's HTTPS server did not start");
    }

    void init()
    {
        QFile::remove(TavoSettings::defaults().fileName());
        m_server.routes.clear();
        m_server.requests.clear();
        m_restarts.clear();
        m_now = QDateTime(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC);
        QDir(m_dir.filePath("downloads")).removeRecursively();
    }

    void checkEndsInTheRightWindow_data()
    {
        QTest::addColumn<FeedServer::Response>("response");
        QTest::addColumn<Page>("page");
        QTest::newRow("newer") << FeedServer::Response{200, feed("1.10.0")} << Page::Available;
        QTest::newRow("same") << FeedServer::Response{200, feed("1.2.0")} << Page::UpToDate;
        QTest::newRow("older") << FeedServer::Response{200, feed("1.1.9")} << Page::UpToDate;
        QTest::newRow("pre-release")
            << FeedServer::Response{200, feed("2.0.0-beta.1")} << Page::UpToDate;
        QTest::newRow("malformed") << FeedServer::Response{200, "{\"version\": "} << Page::Failure;
        QTest::newRow("missing notes")
            << FeedServer::Response{200, R"({"version": "9.0"})"} << Page::Failure;
        QTest::newRow("over the cap") << FeedServer::Response{200,
            feed("9.0.0").replace("Des nouveautés.", QByteArray(5000, 'x'))}
                                      << Page::Failure;
        QTest::newRow("time-out") << FeedServer::Response{200, {}, true} << Page::Failure;
        QTest::newRow("404") << FeedServer::Response{404, feed("9.0.0")} << Page::Failure;
    }

    void checkEndsInTheRightWindow()
    {
        QFETCH(FeedServer::Response, response);
        QFETCH(Page, page);
        m_server.routes["/feed.json"] = response;
        auto updater = makeUpdater();
        QSignalSpy finished(updater.get(), &Updater::checkFinished);

        // In the background only an offer shows the window.
        updater->checkInBackgroundIfDue();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(windowShown(*updater), page == Page::Available);
        QCOMPARE(finished.first().first().toBool(), page == Page::Available);
        // Only a check that got an answer counts as done.
        QCOMPARE(updater->lastCheck().isValid(), page != Page::Failure);

        // Asked for by the user, every outcome is said in the window.
        updater->checkForUpdates();
        QVERIFY(windowShown(*updater));
        QCOMPARE(updater->window()->page(), Page::Checking);
        // A second request while the first runs starts nothing new.
        updater->checkForUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 5000);
        QCOMPARE(updater->window()->page(), page);
        QCOMPARE(m_server.requests, (QStringList{"/feed.json", "/feed.json"}));
    }

    void backgroundChecksFollowTheIntervalAndThePersistentFlags()
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

        QVERIFY(!updater->automaticallyDownloadsUpdates());
        updater->setAutomaticallyChecksForUpdates(false);
        updater->setAutomaticallyDownloadsUpdates(true);
        m_now = m_now.addDays(30);
        updater->checkInBackgroundIfDue();
        QVERIFY(!updater->isBusy());
        QCOMPARE(m_server.requests.size(), 2);

        // Both flags reach the file at once and hold for the next updater.
        QSettings fresh(TavoSettings::defaults().fileName(), SettingsStore::format());
        QCOMPARE(fresh.value(Updater::automaticChecksKey), QVariant(false));
        QCOMPARE(fresh.value(Updater::automaticDownloadsKey), QVariant(true));
        auto again = makeUpdater();
        QVERIFY(!again->automaticallyChecksForUpdates());
        QVERIFY(again->automaticallyDownloadsUpdates());
    }

    void backgroundDownloadOffersAVerifiedAppImage()
    {
        const QByteArray next = QByteArray("new AppImage ") + QByteArray(200000, 'n');
        const QString appImage = writeFile("OrvaneTavo.AppImage", "old AppImage");
        m_server.routes["/feed.json"] = {200, feed("1.3.0", next)};
        m_server.routes["/app.AppImage"] = {200, next};
        auto updater = makeUpdater(appImage);
        updater->setAutomaticallyDownloadsUpdates(true);

        updater->checkInBackgroundIfDue();
        QTRY_VERIFY_WITH_TIMEOUT(windowShown(*updater), 5000);
        QCOMPARE(updater->window()->page(), Page::Available);
        QCOMPARE(m_server.requests, (QStringList{"/feed.json", "/app.AppImage"}));
        QCOMPARE(readFile(appImage), QByteArray("old AppImage"));

        Q_EMIT updater->window()->installRequested();
        QCOMPARE(updater->window()->page(), Page::ReadyToRestart);
        QCOMPARE(readFile(appImage), next);
        QVERIFY(QFileInfo(appImage).isExecutable());
        QVERIFY(QDir(m_dir.filePath("downloads")).isEmpty());
        Q_EMIT updater->window()->restartRequested();
        QCOMPARE(m_restarts, QStringList{appImage});
    }

    void tamperedDownloadsAreRefusedAndDeleted_data()
    {
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<QByteArray>("publicKey");
        const QByteArray good = QByteArray("new AppImage ") + QByteArray(5000, 'n');
        QByteArray flipped = good;
        flipped[100] = flipped[100] ^ 1;
        QTest::newRow("one flipped byte") << flipped << QByteArray();
        QTest::newRow("signed with another key")
            << good << QByteArray(crypto_sign_PUBLICKEYBYTES, 'k');
    }

    void tamperedDownloadsAreRefusedAndDeleted()
    {
        QFETCH(QByteArray, served);
        QFETCH(QByteArray, publicKey);
        const QString appImage = writeFile("OrvaneTavo.AppImage", "old AppImage");
        // The feed announces and signs the good file; the server may hand out another one.
        const QByteArray good = QByteArray("new AppImage ") + QByteArray(5000, 'n');
        m_server.routes["/feed.json"] = {200, feed("1.3.0", good)};
        m_server.routes["/app.AppImage"] = {200, served};

        auto updater = makeUpdater(appImage, publicKey);
        updater->checkForUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(updater->window()->page(), Page::Available, 5000);
        Q_EMIT updater->window()->installRequested();
        QTRY_COMPARE_WITH_TIMEOUT(updater->window()->page(), Page::Failure, 5000);
        QCOMPARE(m_server.requests.size(), 2);
        QVERIFY(QDir(m_dir.filePath("downloads")).isEmpty());
        QCOMPARE(readFile(appImage), QByteArray("old AppImage"));
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
