#include "updater/UpdateDownload.h"

#include "updater/UpdateVerifier.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QThreadPool>

namespace {

Q_LOGGING_CATEGORY(lcUpdater, "orvane.updater")

// The most of a package the network holds unread. The window's thread writes and hashes what
// arrives; bounded, each turn of its event loop stays short however fast the connection is.
constexpr qint64 downloadBufferBytes = 256 * 1024;

} // namespace

UpdateDownload::UpdateDownload(QObject *parent)
    : QObject(parent)
{
}

UpdateDownload::~UpdateDownload() = default;

bool UpdateDownload::isHttps(const QUrl &url)
{
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

void UpdateDownload::discard(const QString &path)
{
    // Unlinking a package of a gigabyte keeps the file system busy for a good part of a second.
    // The rename is instant and takes the file out of the way under a name no download is ever
    // given; the removal itself happens off the window's thread.
    const QFileInfo verified(path);
    const QString discarded = verified.dir().filePath(QStringLiteral(".discarded-%1-%2")
                                                          .arg(QDateTime::currentMSecsSinceEpoch())
                                                          .arg(verified.fileName()));
    if (!QFile::rename(path, discarded)) {
        QFile::remove(path);
        return;
    }
    QThreadPool::globalInstance()->start([discarded] { QFile::remove(discarded); });
}

bool UpdateDownload::start(QNetworkAccessManager &network, const UpdatePackage &package,
    Signed signedAs, const QString &folder, int timeoutMs)
{
    // The name the makers gave the file, so that the desktop knows a .deb by its name.
    QString name = QFileInfo(package.url.path()).fileName();
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name = QStringLiteral("update");
    auto file = std::make_unique<DownloadFile>();
    QString error = QStringLiteral("the package address is not https");
    if (!isHttps(package.url) || !file->open(folder, name, package.size, &error)) {
        qCWarning(lcUpdater) << "download not started:" << error;
        return false;
    }
    m_file = std::move(file);
    m_package = package;
    m_signedAs = std::move(signedAs);

    QNetworkRequest request(package.url);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = network.get(request);
    reply->setReadBufferSize(downloadBufferBytes);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        // Never more than the feed announced: a longer file is not the one that was signed.
        if (m_reply == reply && !m_file->write(reply->readAll()))
            refuse();
    });
    connect(reply, &QNetworkReply::downloadProgress, this,
        [this, reply](qint64 received, qint64 total) {
            if (m_reply != reply)
                return;
            if (total > m_package.size)
                refuse();
            else
                Q_EMIT progress(received, m_package.size);
        });
    connect(reply, &QNetworkReply::finished, this, &UpdateDownload::replyFinished);
    return true;
}

void UpdateDownload::refuse()
{
    m_reply->setProperty("refused", true);
    m_reply->abort();
}

void UpdateDownload::cancel()
{
    if (m_reply) {
        m_reply->setProperty("cancelled", true);
        m_reply->abort();
    }
}

void UpdateDownload::replyFinished()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    // Gone before it finished: there is nothing left to report but that it ended.
    if (!reply) {
        Q_EMIT finished(Outcome::Cancelled, {});
        return;
    }
    reply->disconnect(this);
    reply->deleteLater();
    // Removed from disk when it goes out of scope, unless it is kept below.
    const std::unique_ptr<DownloadFile> file = std::move(m_file);
    if (reply->property("cancelled").toBool()) {
        Q_EMIT finished(Outcome::Cancelled, {});
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString problem;
    if (reply->property("refused").toBool())
        problem = QStringLiteral("longer than announced, or the disk refused it");
    else if (reply->error() != QNetworkReply::NoError)
        problem = reply->errorString();
    else if (status != 200)
        problem = QStringLiteral("HTTP status %1").arg(status);
    if (!problem.isEmpty()) {
        qCWarning(lcUpdater) << "download failed:" << problem;
        Q_EMIT finished(Outcome::Failed, {});
        return;
    }

    if (file->size() != m_package.size || file->sha256() != m_package.sha256
        || !UpdateVerifier::verify(
            m_signedAs->kind, m_signedAs->versionText, m_package, m_signedAs->publicKey)) {
        // Whatever arrived is not what the makers signed: it never stays on disk.
        qCWarning(lcUpdater) << "downloaded update refused:" << file->path();
        Q_EMIT finished(Outcome::Refused, {});
        return;
    }
    file->keep();
    Q_EMIT finished(Outcome::Verified, file->path());
}
