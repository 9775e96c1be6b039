#include "updater/Updater.h"

#include "diagnostics/ServiceLink.h"
#include "platform/RunningAppImage.h"
#include "settings/SettingsStore.h"
#include "settings/TavoSettings.h"
#include "updater/InstalledPackage.h"
#include "updater/UpdateVerifier.h"
#include "updater/UpdaterWindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

namespace {

Q_LOGGING_CATEGORY(lcUpdater, "orvane.updater")

// Background checks look this often whether one is due.
constexpr int scheduleTickMs = 15 * 60 * 1000;

const QString checkFailedText = QStringLiteral(
    "Impossible de vérifier les mises à jour pour le moment. Vérifie ta connexion et réessaie "
    "plus tard.");
const QString downloadFailedText
    = QStringLiteral("Le téléchargement de la mise à jour n'a pas abouti. Rien n'a été modifié.");
const QString invalidFileText = QStringLiteral(
    "Le fichier téléchargé est incomplet ou n'est pas signé par Orvane Labs : il a été supprimé "
    "et rien n'a été modifié.");
const QString installFailedText
    = QStringLiteral("La mise à jour n'a pas pu être installée. Rien n'a été modifié.");

} // namespace

Updater::Config Updater::Config::forThisInstallation()
{
    Config config;
    // A tester can point a build at a feed on this machine, never at another host; what it
    // offers must still carry the makers' signature to be installed.
    const QUrl feed = ServiceLink::loopbackOnly(qEnvironmentVariable("ORVANE_UPDATE_FEED_URL"));
    config.feedUrl = feed.isValid() ? feed : QUrl(QStringLiteral(ORVANE_UPDATE_FEED_URL));
    config.publicKey = UpdateVerifier::releasePublicKey();
    config.currentVersion = QStringLiteral(ORVANE_VERSION);
    config.appImagePath = RunningAppImage::path();
    // Installed by our package, the updater offers the next package, and what apt has
    // installed is the version to compare the feed's release with.
    if (const auto package = InstalledPackage::owning(
            QCoreApplication::applicationFilePath(), QStringLiteral(ORVANE_PACKAGE_NAME))) {
        config.installedFromPackage = true;
        config.currentVersion = package->upstreamVersion();
    }
    config.downloadFolder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/OrvaneTavo/updates");
    return config;
}

Updater::Updater(QObject *parent)
    : Updater(Config::forThisInstallation(), parent)
{
}

Updater::Updater(Config config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
{
    openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    restartInto = [](const QString &appImage) {
        if (QProcess::startDetached(appImage, {}))
            QCoreApplication::quit();
    };
    m_schedule.setInterval(scheduleTickMs);
    connect(&m_schedule, &QTimer::timeout, this, &Updater::checkInBackgroundIfDue);
    connect(&m_download, &UpdateDownload::progress, this, [this](qint64 received, qint64 size) {
        if (m_userInitiated && m_window)
            m_window->showDownloading(received, size);
    });
    connect(&m_download, &UpdateDownload::finished, this, &Updater::downloadFinished);
    connect(&m_installer, &UpdateInstaller::finished, this, &Updater::installFinished);
    connect(&m_feedCheck, &FeedCheck::finished, this, &Updater::feedArrived);
}

Updater::~Updater()
{
    delete m_window.data();
}

QNetworkAccessManager &Updater::network()
{
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    return *m_network;
}

void Updater::start()
{
    if (m_started)
        return;
    m_started = true;
    m_schedule.start();
    QMetaObject::invokeMethod(this, &Updater::checkInBackgroundIfDue, Qt::QueuedConnection);
}

void Updater::setUpdateCheckInterval(int seconds)
{
    m_checkIntervalSeconds = qMax(60, seconds);
}

bool Updater::automaticallyChecksForUpdates() const
{
    // Off until the user turns automatic updates on: the application promises that nothing is
    // sent, so it does not reach the network of its own accord before being asked to.
    return TavoSettings::defaults().boolValue(automaticChecksKey);
}

void Updater::setAutomaticallyChecksForUpdates(bool on)
{
    TavoSettings::defaults().setBool(automaticChecksKey, on);
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return TavoSettings::defaults().boolValue(automaticDownloadsKey);
}

void Updater::setAutomaticallyDownloadsUpdates(bool on)
{
    TavoSettings::defaults().setBool(automaticDownloadsKey, on);
}

QDateTime Updater::lastCheck() const
{
    return TavoSettings::defaults().date(lastCheckKey);
}

void Updater::checkForUpdates()
{
    ensureWindow();
    if (m_stage != Stage::Idle) {
        // One check at a time: the one under way now reports to the window.
        m_userInitiated = true;
        if (m_stage == Stage::Checking)
            m_window->showChecking();
        showWindow();
        return;
    }
    m_window->showChecking();
    showWindow();
    fetchFeed(true);
}

void Updater::checkInBackgroundIfDue()
{
    if (m_stage != Stage::Idle || !automaticallyChecksForUpdates())
        return;
    const QDateTime last = lastCheck();
    const QDateTime now = clock();
    // A last check in the future means the clock was set back: it does not hold checks off.
    if (last.isValid() && last <= now && last.secsTo(now) < m_checkIntervalSeconds)
        return;
    fetchFeed(false);
}

void Updater::fetchFeed(bool userInitiated)
{
    m_userInitiated = userInitiated;
    m_stage = Stage::Checking;
    m_feedCheck.start(network(), m_config.feedUrl, m_config.feedSizeCap, m_config.timeoutMs);
}

void Updater::feedArrived(const std::optional<UpdateFeed> &feed, const QString &problem)
{
    m_stage = Stage::Idle;
    if (!feed) {
        qCWarning(lcUpdater) << "update check failed:" << problem;
        if (m_userInitiated)
            fail(checkFailedText);
        Q_EMIT checkFinished(false);
        return;
    }
    TavoSettings::defaults().setObject(lastCheckKey, clock());

    if (!isNewer(*feed)) {
        if (m_userInitiated)
            m_window->showUpToDate(m_config.currentVersion);
        Q_EMIT checkFinished(false);
        return;
    }
    const bool sameOffer = m_offered && m_offered->version == feed->version;
    m_offered = feed;
    if (!sameOffer)
        discardVerified();
    const UpdatePackage *package = packageForThisInstallation();
    // Nothing is fetched for a package the makers did not sign as this kind and version.
    if (package
        && !UpdateVerifier::verify(
            *kindForThisInstallation(), m_offered->versionText, *package, m_config.publicKey)) {
        qCWarning(lcUpdater) << "the feed's package is not signed for version"
                             << m_offered->versionText;
        m_offered.reset();
        if (m_userInitiated)
            fail(checkFailedText);
        Q_EMIT checkFinished(false);
        return;
    }
    if (!m_userInitiated && m_verifiedFile.isEmpty() && package
        && automaticallyDownloadsUpdates()) {
        // Fetched and checked quietly; offered once it is ready to install.
        download(*package);
        Q_EMIT checkFinished(true);
        return;
    }
    offer();
    Q_EMIT checkFinished(true);
}

void Updater::offer()
{
    ensureWindow();
    m_window->showAvailable(m_offered->versionText, m_config.currentVersion, m_offered->notes);
    showWindow();
}

void Updater::install()
{
    if (!m_offered || m_stage != Stage::Idle)
        return;
    m_userInitiated = true;
    if (!m_verifiedFile.isEmpty()) {
        installVerified();
        return;
    }
    if (const UpdatePackage *package = packageForThisInstallation()) {
        download(*package);
        return;
    }
    // Neither an AppImage nor our package: the download page knows the other ways.
    if (openUrl)
        openUrl(m_offered->page.isValid() ? m_offered->page
                                          : m_config.feedUrl.resolved(QUrl(QStringLiteral("/"))));
    m_window->close();
}

bool Updater::isNewer(const UpdateFeed &feed) const
{
    // Pre-releases are for testers who install them by hand, never offered here.
    return !feed.preRelease && feed.version > QVersionNumber::fromString(m_config.currentVersion);
}

std::optional<UpdateFeed::PackageKind> Updater::kindForThisInstallation() const
{
    if (!m_config.appImagePath.isEmpty())
        return UpdateFeed::PackageKind::AppImage;
    if (m_config.installedFromPackage)
        return UpdateFeed::PackageKind::Deb;
    return std::nullopt;
}

const UpdatePackage *Updater::packageForThisInstallation() const
{
    const std::optional<UpdateFeed::PackageKind> kind = kindForThisInstallation();
    if (!m_offered || !kind)
        return nullptr;
    const auto it = m_offered->packages.constFind(*kind);
    return it == m_offered->packages.constEnd() ? nullptr : &*it;
}

void Updater::download(const UpdatePackage &package)
{
    if (!m_download.start(network(), package,
            {*kindForThisInstallation(), m_offered->versionText, m_config.publicKey},
            m_config.downloadFolder, m_config.timeoutMs)) {
        if (m_userInitiated)
            fail(downloadFailedText);
        return;
    }
    m_stage = Stage::Downloading;
    if (m_userInitiated) {
        m_window->showDownloading(0, package.size);
        showWindow();
    }
}

void Updater::downloadFinished(UpdateDownload::Outcome outcome, const QString &path)
{
    m_stage = Stage::Idle;
    switch (outcome) {
    case UpdateDownload::Outcome::Cancelled:
        return;
    case UpdateDownload::Outcome::Failed:
        if (m_userInitiated)
            fail(downloadFailedText);
        return;
    case UpdateDownload::Outcome::Refused:
        if (m_userInitiated)
            fail(invalidFileText);
        return;
    case UpdateDownload::Outcome::Verified:
        break;
    }
    m_verifiedFile = path;
    if (m_userInitiated)
        installVerified();
    else
        offer();
}

void Updater::installVerified()
{
    const UpdatePackage *package = packageForThisInstallation();
    // Checked again here, whatever happened since the offer: never an older version.
    if (!package || !isNewer(*m_offered)) {
        discardVerified();
        fail(installFailedText);
        return;
    }
    if (!m_config.appImagePath.isEmpty()) {
        m_stage = Stage::Installing;
        ensureWindow();
        m_window->showDownloading(package->size, package->size);
        showWindow();
        m_installer.replaceAppImage(m_config.appImagePath, m_verifiedFile, package->sha256);
        return;
    }
    if (!UpdateInstaller::handOver(m_verifiedFile, openUrl)) {
        fail(installFailedText);
        return;
    }
    if (m_window)
        m_window->close();
}

void Updater::installFinished(bool installed, const QString &error, bool cancelled)
{
    m_stage = Stage::Idle;
    // Installed, or not to be trusted any more: either way the download has served.
    discardVerified();
    if (installed) {
        ensureWindow();
        m_window->showReadyToRestart(m_offered->versionText);
        showWindow();
        return;
    }
    qCWarning(lcUpdater) << "could not replace the AppImage:" << error;
    // A cancel came from the window, which the user has closed.
    if (!cancelled)
        fail(installFailedText);
}

void Updater::discardVerified()
{
    if (!m_verifiedFile.isEmpty())
        UpdateDownload::discard(std::exchange(m_verifiedFile, QString()));
}

void Updater::fail(const QString &message)
{
    ensureWindow();
    m_window->showFailure(message);
    showWindow();
}

void Updater::cancel()
{
    if (m_feedCheck.isRunning()) {
        m_feedCheck.cancel();
        m_stage = Stage::Idle;
    }
    m_download.cancel();
    m_installer.cancel();
}

void Updater::ensureWindow()
{
    if (m_window)
        return;
    m_window = new UpdaterWindow;
    connect(m_window, &UpdaterWindow::cancelRequested, this, &Updater::cancel);
    connect(m_window, &UpdaterWindow::installRequested, this, &Updater::install);
    connect(m_window, &UpdaterWindow::restartRequested, this, [this] {
        if (restartInto)
            restartInto(m_config.appImagePath);
    });
}

void Updater::showWindow()
{
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}
