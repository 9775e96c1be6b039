#pragma once

#include <QDialog>
#include <QList>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

// A modal alert in the shape the application's feedback windows share: the application icon,
// a bold message, an informative text, an optional accessory widget below them, and buttons at
// the bottom right, the first one rightmost and the default. Texts are always plain.
class AlertDialog : public QDialog
{
    Q_OBJECT

public:
    // What exec() and result() answer for the first button; the next ones follow.
    static constexpr int firstButton = 1000;

    explicit AlertDialog(QWidget *parent = nullptr);

    void setMessageText(const QString &text);
    QString messageText() const;
    void setInformativeText(const QString &text);
    QString informativeText() const;
    void setAccessoryView(QWidget *view);
    QPushButton *addButton(const QString &title);
    QList<QPushButton *> buttons() const { return m_buttons; }

    // Shown without a nested event loop, in front of everything; `finished` tells the answer.
    void present();

private:
    QLabel *m_message;
    QLabel *m_informative;
    QVBoxLayout *m_column;
    QHBoxLayout *m_buttonRow;
    QList<QPushButton *> m_buttons;
};
