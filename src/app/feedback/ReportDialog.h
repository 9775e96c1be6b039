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
    // The longest text and address the makers' service takes, in UTF-16 units as it counts
    // them: the window refuses more at the source, since a report the service refused could
    // never be sent, however often the kept draft was offered again.
    static constexpr qsizetype textCap = 256 * 1024;
    static constexpr int emailCap = 254;

    explicit ReportDialog(QWidget *parent = nullptr);

    // What the user typed last time, when it did not reach the makers.
    void setDraft(const QString &text, const QString &email);

    QPlainTextEdit *const textArea;
    QLineEdit *const emailField;
    QPushButton *const sendButton;
    QPushButton *const cancelButton;

private:
    void holdTextToCap();
};
