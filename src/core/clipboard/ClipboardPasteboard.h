#pragma once

#include "clipboard/Pasteboard.h"

#include <QObject>

class QClipboard;

// The system clipboard (the CLIPBOARD selection, not the primary selection) as a Pasteboard.
//
// The change count grows on every change notification from the display server, so reading it
// costs nothing; the types and the string are read from the owner only when asked.
class ClipboardPasteboard
    : public QObject
    , public Pasteboard
{
    Q_OBJECT

public:
    // Needs a QGuiApplication.
    explicit ClipboardPasteboard(QObject *parent = nullptr);

    qint64 changeCount() const override { return m_changeCount; }
    QStringList types() const override;
    std::optional<QString> string(const QString &type) const override;
    void declareTypes(const QStringList &types) override;
    bool setString(const QString &text, const QString &type) override;

    // Maps the owner's format names, in order, to type identifiers: each identifier once at its
    // first place, the display server's own meta targets dropped.
    static QStringList identifiersForFormats(const QStringList &formats);

private:
    QClipboard *m_clipboard;
    qint64 m_changeCount = 0;
    QStringList m_declared;
};
