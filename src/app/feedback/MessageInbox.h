#pragma once

#include "diagnostics/ServiceLink.h"

#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>

#include <optional>

// The makers' replies: asks the service whether a message waits for this device and holds it
// until it has been shown. The ids of shown messages are kept in the settings store, so that
// each message is shown once.
class MessageInbox : public QObject
{
    Q_OBJECT

public:
    struct Message
    {
        qint64 id = 0;
        QString body;
        bool operator==(const Message &) const = default;
    };

    static constexpr int keptIds = 50;

    // The application's inbox, made at its first use.
    static MessageInbox &shared();

    explicit MessageInbox(QObject *parent = nullptr);

    // Asks the service for news; `checked` follows, whatever came back. While a poll is under
    // way, asking again starts nothing new: that poll's answer is the news.
    void checkWithServer();
    bool isChecking() const { return m_reply != nullptr; }
    // What a poll's reply body does to the inbox.
    void receive(const QByteArray &body);

    std::optional<Message> pendingMessage() const { return m_pending; }
    // Records a message as shown, the oldest ids making way past `keptIds`, and lets go of the
    // pending message when it is that one.
    void markMessageShown(qint64 id);
    // Oldest first; empty when the store holds anything but a list of integers.
    static QList<qint64> shownIds();

    // Shortened by tests.
    int timeoutMs = ServiceLink::pollTimeoutMs;

Q_SIGNALS:
    void checked();

private:
    QPointer<QNetworkReply> m_reply;
    std::optional<Message> m_pending;
};
