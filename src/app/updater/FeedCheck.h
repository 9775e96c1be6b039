#pragma once

#include "updater/UpdateFeed.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>

#include <optional>

// Fetches the update feed over https and reads it. The feed comes from the network: it is
// refused past a size cap or a time-out, and read only when the server answered 200.
class FeedCheck : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts fetching `url`. `finished` always follows, at once for an address that is not
    // https, and never more than once a start.
    void start(QNetworkAccessManager &network, const QUrl &url, qint64 sizeCap, int timeoutMs);
    bool isRunning() const { return !m_reply.isNull(); }
    // Drops the fetch under way; nothing is emitted for it.
    void cancel();

Q_SIGNALS:
    // The feed, or what went wrong with it.
    void finished(const std::optional<UpdateFeed> &feed, const QString &problem);

private:
    void replyFinished(QNetworkReply *reply, qint64 sizeCap);

    QPointer<QNetworkReply> m_reply;
};
