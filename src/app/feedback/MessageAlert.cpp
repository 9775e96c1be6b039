#include "feedback/MessageAlert.h"

#include "feedback/MessageInbox.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>

namespace {

// Past this, a word is no prose (a key, a dump, a mistake): looking for word boundaries in it
// costs a time that grows with the square of its length, breaking it anywhere does not.
constexpr qsizetype longestWrappedWord = 1000;

bool hasWordLongerThan(const QString &text, qsizetype length)
{
    qsizetype run = 0;
    for (const QChar c : text) {
        run = c.isSpace() ? 0 : run + 1;
        if (run > length)
            return true;
    }
    return false;
}

// At most `MessageAlert::shownLength` characters, without splitting a character in two.
QString shownPart(const QString &body)
{
    if (body.size() <= MessageAlert::shownLength)
        return body;
    qsizetype end = MessageAlert::shownLength;
    if (body.at(end - 1).isHighSurrogate())
        --end;
    return body.left(end) + QStringLiteral("…");
}

// The message as plain text in a box that grows with it up to half the screen's height and
// scrolls past that, so that no message, however long, pushes the button off the screen.
QTextEdit *bodyView(const QString &body)
{
    const QString text = shownPart(body);
    auto *view = new QTextEdit;
    view->setReadOnly(true);
    view->setAcceptRichText(false);
    view->setPlainText(text);
    view->setFrameShape(QFrame::NoFrame);
    view->viewport()->setAutoFillBackground(false);
    view->setWordWrapMode(hasWordLongerThan(text, longestWrappedWord)
            ? QTextOption::WrapAnywhere
            : QTextOption::WrapAtWordBoundaryOrAnywhere);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setFixedWidth(380);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const int limit = screen ? screen->availableGeometry().height() / 2 : 400;
    QTextDocument *document = view->document();
    document->setDocumentMargin(0);
    document->setTextWidth(380 - view->verticalScrollBar()->sizeHint().width());
    view->setFixedHeight(qMin(limit, int(document->size().height()) + 2));
    return view;
}

} // namespace

MessageAlert::MessageAlert(QObject *parent)
    : QObject(parent)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        app->installEventFilter(this);
}

MessageAlert::~MessageAlert()
{
    // Closing by the application's end is not the user closing it: nothing is recorded.
    if (m_alert) {
        m_alert->disconnect(this);
        delete m_alert.data();
    }
}

bool MessageAlert::eventFilter(QObject *watched, QEvent *event)
{
    // Quitting closes every window, the alert with them, before this object's end: that
    // closing is the application's, not the user's.
    if (event->type() == QEvent::Quit)
        letGo();
    return QObject::eventFilter(watched, event);
}

void MessageAlert::letGo()
{
    if (!m_alert)
        return;
    m_alert->disconnect(this);
    m_alert->deleteLater();
    m_alert = nullptr;
}

void MessageAlert::follow(MessageInbox &inbox)
{
    if (m_inbox == &inbox)
        return;
    if (m_inbox)
        m_inbox->disconnect(this);
    m_inbox = &inbox;
    connect(&inbox, &MessageInbox::checked, this, &MessageAlert::showPending);
}

void MessageAlert::showPending()
{
    // A poll that ends while an alert is open waits for it: the next one follows its closing.
    if (!m_inbox || m_alert)
        return;
    const std::optional<MessageInbox::Message> message = m_inbox->pendingMessage();
    if (!message)
        return;
    auto *alert = new AlertDialog;
    alert->setMessageText(QStringLiteral("Message de Orvane Labs"));
    alert->setAccessoryView(bodyView(message->body));
    alert->addButton(QStringLiteral("OK"));
    const qint64 id = message->id;
    connect(alert, &QDialog::finished, this, [this, alert, id] {
        m_alert = nullptr;
        alert->deleteLater();
        if (m_inbox)
            m_inbox->markMessageShown(id);
        // A newer message may have come in while this one was on screen.
        QMetaObject::invokeMethod(this, &MessageAlert::showPending, Qt::QueuedConnection);
    });
    m_alert = alert;
    alert->present();
}
