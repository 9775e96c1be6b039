#pragma once

#include "feedback/AlertDialog.h"

class QLineEdit;
class QPlainTextEdit;

// The problem report's window: a free text for the makers and, if the user wants an answer by
// mail as well, an address. "Envoyer" is the default button, "Annuler" the other.
class ReportDialog : public AlertDialog
{
    Q_OBJECT

public:
    explicit ReportDialog(QWidget *parent = nullptr);

    // What the user typed last time, when it did not reach the makers.
    void setDraft(const QString &text, const QString &email);

    QPlainTextEdit *const textArea;
    QLineEdit *const emailField;
    QPushButton *const sendButton;
    QPushButton *const cancelButton;
};
