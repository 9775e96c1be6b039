#pragma once

#include "feedback/AlertDialog.h"

#include <QObject>
#include <QPointer>

class MessageInbox;

// Shows the inbox's pending message in a "Message de Orvane Labs" alert, one alert at a time,
// and records the message as shown once the user has closed it. An alert still open when the
// application ends (logout, shutdown, "Quitter") records nothing, so that message comes back
// after the next poll.
class MessageAlert : public QObject
{
    Q_OBJECT

public:
    explicit MessageAlert(QObject *parent = nullptr);
    ~MessageAlert() override;

    // From now on the end of each of the inbox's polls shows what it brought.
    void follow(MessageInbox &inbox);
    void showPending();
    AlertDialog *alert() const { return m_alert; }

    // What of a message is shown at most; the rest is cut, marked with "…".
    static constexpr qsizetype shownLength = 20000;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void letGo();

    QPointer<MessageInbox> m_inbox;
    QPointer<AlertDialog> m_alert;
};
