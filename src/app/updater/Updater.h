#pragma once

#include "updater/FeedCheck.h"
#include "updater/UpdateDownload.h"
#include "updater/UpdateFeed.h"
#include "updater/UpdateInstaller.h"
#include "updater/UpdaterWindow.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

// Looks for new versions of the application, downloads them, checks them against the makers'
// signed statement and installs them. User-started checks show their progress and outcome in the
// updater's window; background checks stay silent unless there is something to offer.
class Updater : public QObject
{
    Q_OBJECT

public:
    struct Config
    {
        QUrl feedUrl;
        QByteArray publicKey; // 32 raw bytes
        QString currentVersion;
        QString appImagePath; // the running AppImage, when started from one (RunningAppImage)
        bool installedFromPackage = false; // dpkg installed the running binary with our package
        QString downloadFolder;
        qint64 feedSizeCap = 256 * 1024;
        int timeoutMs = 30000;

        // The build's feed and key, and what the environment says about this installation.
        static Config forThisInstallation();
    };

    static constexpr int defaultCheckIntervalSeconds = 86400;
    static inline const QString automaticChecksKey = QStringLiteral("UpdaterAutomaticChecks");
    static inline const QString automaticDownloadsKey = QStringLiteral("UpdaterAutomaticDownloads");
    static inline const QString lastCheckKey = QStringLiteral("UpdaterLastCheck");

    explicit Updater(QObject *parent = nullptr);
    Updater(Config config, QObject *parent = nullptr);
    ~Updater() override;

    // From now on, background checks happen when they are due.
    void start();
    bool isStarted() const { return m_started; }

    int updateCheckInterval() const { return m_checkIntervalSeconds; }
    void setUpdateCheckInterval(int seconds);

    // Kept in the settings store by the updater itself.
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool on);
    QDateTime lastCheck() const;

    // A check the user asked for: the window shows what happens. While a check or a download
    // runs, it only brings the window forward.
    void checkForUpdates();
    // A check of the updater's own, made only when automatic checks are on and the interval
    // since the last check has passed.
    void checkInBackgroundIfDue();
    // Checking, downloading or installing.
    bool isBusy() const { return m_stage != Stage::Idle; }

    // Time, opening files and links, and restarting: replaceable so that tests control them.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTimeUtc(); };
    std::function<bool(const QUrl &)> openUrl;
    std::function<void(const QString &appImage)> restartInto;

    UpdaterWindow *window() const { return m_window; }

Q_SIGNALS:
    // A check ended: with a newer release offered, or not.
    void checkFinished(bool updateAvailable);

private:
    enum class Stage { Idle, Checking, Downloading, Installing };

    void fetchFeed(bool userInitiated);
    void feedArrived(const std::optional<UpdateFeed> &feed, const QString &problem);
    void offer();
    void install();
    void download(const UpdatePackage &package);
    void downloadFinished(UpdateDownload::Outcome outcome, const QString &path);
    void installVerified();
    void installFinished(bool installed, const QString &error, bool cancelled);
    void discardVerified();
    bool isNewer(const UpdateFeed &feed) const;
    void fail(const QString &message);
    void cancel();
    void ensureWindow();
    void showWindow();
    std::optional<UpdateFeed::PackageKind> kindForThisInstallation() const;
    const UpdatePackage *packageForThisInstallation() const;

    Config m_config;
    bool m_started = false;
    int m_checkIntervalSeconds = defaultCheckIntervalSeconds;
    QTimer m_schedule{this};
    // Made at the first request: the network stack costs memory that an idle updater need not pay.
    QPointer<QNetworkAccessManager> m_network;
    QNetworkAccessManager &network();
    FeedCheck m_feedCheck;
    Stage m_stage = Stage::Idle;
    bool m_userInitiated = false;
    std::optional<UpdateFeed> m_offered;
    UpdateDownload m_download;
    // A download that matched the signed statement, waiting to be installed.
    QString m_verifiedFile;
    UpdateInstaller m_installer;
    QPointer<UpdaterWindow> m_window;
};
