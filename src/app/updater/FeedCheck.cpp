#include "updater/FeedCheck.h"

#include "updater/UpdateDownload.h"

void FeedCheck::start(
    QNetworkAccessManager &network, const QUrl &url, qint64 sizeCap, int timeoutMs)
{
    cancel();
    if (!UpdateDownload::isHttps(url)) {
        Q_EMIT finished(std::nullopt, QStringLiteral("the feed address is not https"));
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(
        QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply *reply = network.get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this,
        [reply, sizeCap](qint64 received, qint64 total) {
            if (received > sizeCap || total > sizeCap) {
                reply->setProperty("tooLarge", true);
                reply->abort();
            }
        });
    connect(reply, &QNetworkReply::finished, this,
        [this, reply, sizeCap] { replyFinished(reply, sizeCap); });
}

void FeedCheck::cancel()
{
    if (QNetworkReply *reply = m_reply) {
        m_reply = nullptr;
        reply->abort();
    }
}

void FeedCheck::replyFinished(QNetworkReply *reply, qint64 sizeCap)
{
    reply->deleteLater();
    // A cancelled or replaced fetch has nobody waiting for it.
    if (m_reply != reply)
        return;
    m_reply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString problem;
    if (reply->property("tooLarge").toBool())
        problem = QStringLiteral("the feed is larger than %1 bytes").arg(sizeCap);
    else if (reply->error() != QNetworkReply::NoError)
        problem = reply->errorString();
    else if (status != 200)
        problem = QStringLiteral("HTTP status %1").arg(status);
    if (!problem.isEmpty()) {
        Q_EMIT finished(std::nullopt, problem);
        return;
    }
    const std::optional<UpdateFeed> feed = UpdateFeed::parse(reply->readAll(), &problem);
    Q_EMIT finished(feed, problem);
}
