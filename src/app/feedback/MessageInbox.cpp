#include "feedback/MessageInbox.h"

#include "settings/TavoSettings.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QNetworkReply>

MessageInbox &MessageInbox::shared()
{
    static QPointer<MessageInbox> inbox;
    if (!inbox)
        inbox = new MessageInbox(QCoreApplication::instance());
    return *inbox;
}

MessageInbox::MessageInbox(QObject *parent)
    : QObject(parent)
{
}

void MessageInbox::checkWithServer()
{
    if (m_reply)
        return;
    QNetworkReply *reply = ServiceLink::post(
        ServiceLink::statusPath, ServiceLink::identity(ServiceLink::deviceId()), timeoutMs);
    if (!reply) {
        QMetaObject::invokeMethod(this, &MessageInbox::checked, Qt::QueuedConnection);
        return;
    }
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        m_reply = nullptr;
        // The status is not looked at: the body says whether there is news.
        if (const auto answer = ServiceLink::answerOf(reply))
            receive(answer->body);
        Q_EMIT checked();
    });
}

void MessageInbox::receive(const QByteArray &body)
{
    const QJsonObject reply = QJsonDocument::fromJson(body).object();
    const QJsonValue mid = reply.value(QStringLiteral("mid"));
    const QJsonValue msg = reply.value(QStringLiteral("msg"));
    // An id counts only as written as a whole number: 7.5, "7", 1e300 or true make the reply
    // one to ignore, not an id of their own.
    if (mid.toVariant().typeId() != QMetaType::LongLong || !msg.isString())
        return;
    const qint64 id = mid.toInteger();
    const QString text = msg.toString();
    if (id < 1 || text.isEmpty() || shownIds().contains(id))
        return;
    m_pending = Message{id, text};
}

void MessageInbox::markMessageShown(qint64 id)
{
    QList<qint64> ids = shownIds();
    if (!ids.contains(id)) {
        ids.append(id);
        if (ids.size() > keptIds)
            ids.remove(0, ids.size() - keptIds);
        QVariantList stored;
        for (qint64 shown : std::as_const(ids))
            stored.append(QVariant::fromValue(shown));
        TavoSettings::defaults().setObject(TavoSettings::shownMessagesKey, stored);
    }
    if (m_pending && m_pending->id == id)
        m_pending.reset();
}

QList<qint64> MessageInbox::shownIds()
{
    QList<qint64> ids;
    for (const QVariant &item : TavoSettings::defaults().array(TavoSettings::shownMessagesKey)) {
        if (item.typeId() != QMetaType::LongLong)
            return {};
        ids.append(item.toLongLong());
    }
    return ids;
}
