#include "shell/EditMenu.h"

#include <QApplication>

namespace {

// Qt has no chain of responders: the focused field's own slot does the work, where it has one
// (QLineEdit, QTextEdit and QPlainTextEdit all do).
void sendToFocusedField(const char *slot)
{
    QWidget *field = QApplication::focusWidget();
    if (!field)
        return;
    const QByteArray signature = QByteArray(slot) + "()";
    if (field->metaObject()->indexOfMethod(signature.constData()) >= 0)
        QMetaObject::invokeMethod(field, slot);
}

} // namespace

EditMenu::EditMenu(QWidget *parent)
    : QMenu(QStringLiteral("Édition"), parent)
{
    const struct
    {
        const char *title;
        QKeySequence keys;
        const char *slot;
    } entries[] = {
        {"Annuler", QKeySequence(Qt::CTRL | Qt::Key_Z), "undo"},
        {"Rétablir", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), "redo"},
        {nullptr, {}, nullptr},
        {"Couper", QKeySequence(Qt::CTRL | Qt::Key_X), "cut"},
        {"Copier", QKeySequence(Qt::CTRL | Qt::Key_C), "copy"},
        {"Coller", QKeySequence(Qt::CTRL | Qt::Key_V), "paste"},
        {"Tout sélectionner", QKeySequence(Qt::CTRL | Qt::Key_A), "selectAll"},
    };
    for (const auto &entry : entries) {
        if (!entry.title) {
            addSeparator();
            continue;
        }
        const char *slot = entry.slot;
        QAction *action = addAction(
            QString::fromUtf8(entry.title), entry.keys, this, [slot] { sendToFocusedField(slot); });
        // Also in the update window and every other window of ours, not only the main one.
        action->setShortcutContext(Qt::ApplicationShortcut);
    }
}
