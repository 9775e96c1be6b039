#include "feedback/ReportDialog.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

ReportDialog::ReportDialog(QWidget *parent)
    : AlertDialog(parent)
    , textArea(new QPlainTextEdit)
    , emailField(new QLineEdit)
    , sendButton(addButton(QStringLiteral("Envoyer")))
    , cancelButton(addButton(QStringLiteral("Annuler")))
{
    setMessageText(QStringLiteral("Signaler un problème"));
    setInformativeText(QStringLiteral("Décris ce qui ne va pas, ça arrive directement chez Orvane "
                                      "Labs. La réponse s'affichera dans l'app."));

    // The text area along the top with 6 px free above it, the address field along the bottom
    // edge, 10 px between them.
    auto *accessory = new QWidget;
    accessory->setFixedSize(380, 150);
    textArea->setParent(accessory);
    textArea->setGeometry(0, 6, 380, 110);
    QFont font = textArea->font();
    font.setPixelSize(13);
    textArea->setFont(font);
    textArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the address field, as in every other form of the desktop.
    textArea->setTabChangesFocus(true);
    connect(textArea, &QPlainTextEdit::textChanged, this, &ReportDialog::holdTextToCap);
    emailField->setParent(accessory);
    emailField->setGeometry(0, 126, 380, 24);
    emailField->setMaxLength(emailCap);
    emailField->setPlaceholderText(
        QStringLiteral("ton email (facultatif, pour te répondre aussi par mail)"));
    setAccessoryView(accessory);

    // The user can type at once.
    textArea->setFocus();
}

void ReportDialog::setDraft(const QString &text, const QString &email)
{
    textArea->setPlainText(text);
    textArea->moveCursor(QTextCursor::End);
    emailField->setText(email);
}

void ReportDialog::holdTextToCap()
{
    // The document's count has its final paragraph end besides the text.
    const qsizetype excess = textArea->document()->characterCount() - 1 - textCap;
    if (excess <= 0)
        return;
    // What was just typed or pasted ends at the cursor: that is what goes, the rest stays.
    QTextCursor cursor = textArea->textCursor();
    if (cursor.position() < excess)
        cursor.movePosition(QTextCursor::End);
    cursor.setPosition(cursor.position() - excess, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}
