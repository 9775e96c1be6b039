#include "feedback/AlertDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int iconSize = 64;
constexpr int textWidth = 380;

} // namespace

AlertDialog::AlertDialog(QWidget *parent)
    : QDialog(parent)
    , m_message(new QLabel)
    , m_informative(new QLabel)
    , m_column(new QVBoxLayout)
    , m_buttonRow(new QHBoxLayout)
{
    setWindowTitle(QStringLiteral("OrvaneTavo"));
    setWindowModality(Qt::ApplicationModal);

    auto *icon = new QLabel;
    const QIcon appIcon = QApplication::windowIcon();
    if (!appIcon.isNull())
        icon->setPixmap(appIcon.pixmap(iconSize, iconSize));
    icon->setFixedSize(iconSize, iconSize);

    for (QLabel *label : {m_message, m_informative}) {
        // Whatever a label is given is shown as it stands: some of it comes from the network.
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setFixedWidth(textWidth);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    QFont bold = m_message->font();
    bold.setBold(true);
    m_message->setFont(bold);
    m_informative->hide();

    m_column->setSpacing(10);
    m_column->addWidget(m_message);
    m_column->addWidget(m_informative);
    m_buttonRow->addStretch();
    m_column->addSpacing(6);
    m_column->addLayout(m_buttonRow);

    auto *root = new QHBoxLayout(this);
    root->setContentsMargins(20, 20, 20, 16);
    root->setSpacing(16);
    root->addWidget(icon, 0, Qt::AlignTop);
    root->addLayout(m_column);
    root->setSizeConstraint(QLayout::SetFixedSize);
}

void AlertDialog::setMessageText(const QString &text)
{
    m_message->setText(text);
}

QString AlertDialog::messageText() const
{
    return m_message->text();
}

void AlertDialog::setInformativeText(const QString &text)
{
    m_informative->setText(text);
    m_informative->setVisible(!text.isEmpty());
}

QString AlertDialog::informativeText() const
{
    return m_informative->text();
}

void AlertDialog::setAccessoryView(QWidget *view)
{
    // Between the texts and the buttons.
    m_column->insertWidget(m_column->indexOf(m_informative) + 1, view);
}

QPushButton *AlertDialog::addButton(const QString &title)
{
    auto *button = new QPushButton(title);
    const int answer = firstButton + int(m_buttons.size());
    connect(button, &QPushButton::clicked, this, [this, answer] { done(answer); });
    // Each new button goes left of the ones before: the first stays rightmost.
    m_buttonRow->insertWidget(1, button);
    button->setDefault(m_buttons.isEmpty());
    button->setAutoDefault(m_buttons.isEmpty());
    m_buttons.append(button);
    return button;
}

void AlertDialog::present()
{
    show();
    raise();
    activateWindow();
}
