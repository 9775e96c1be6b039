#pragma once

#include "updater/DownloadFile.h"
#include "updater/UpdateFeed.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

// Fetches one package of an offered release into a private file and checks what arrived against
// the makers' signed statement. Only a file with the announced size and SHA-256, signed for this
// kind and version, is kept; anything else is removed from disk. Knows nothing of windows.
class UpdateDownload : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Verified, // kept on disk at the path `finished` gives
        Failed, // the network, the server or the disk let it down
        Refused, // it arrived but is not what the makers signed
        Cancelled,
    };
    Q_ENUM(Outcome)

    // What the package must be signed as.
    struct Signed
    {
        UpdateFeed::PackageKind kind;
        QString versionText;
        QByteArray publicKey;
    };

    explicit UpdateDownload(QObject *parent = nullptr);
    ~UpdateDownload() override;

    // The only scheme the updater fetches anything over.
    static bool isHttps(const QUrl &url);

    // Starts fetching `package` into `folder`; false, with nothing fetched and nothing emitted,
    // when its address is not https or the file cannot be made.
    bool start(QNetworkAccessManager &network, const UpdatePackage &package, Signed signedAs,
        const QString &folder, int timeoutMs);
    bool isRunning() const { return !m_reply.isNull(); }
    // Stops a download under way; `finished` still comes, as Cancelled.
    void cancel();
    // Removes a file this class kept, without keeping the window's thread waiting for the disk.
    static void discard(const QString &path);

Q_SIGNALS:
    // Bytes received so far, out of the announced size.
    void progress(qint64 received, qint64 size);
    // `path` is set only when Verified.
    void finished(UpdateDownload::Outcome outcome, const QString &path);

private:
    void replyFinished();
    // Aborting finishes the reply at once; the signals it still sends after that are dropped.
    void refuse();

    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<DownloadFile> m_file;
    UpdatePackage m_package;
    std::optional<Signed> m_signedAs;
};
