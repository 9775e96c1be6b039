#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

// The clipboard engine's whole view of the system clipboard.
//
// Content is described by ordered type identifiers, in the order the owner offers them. A
// platform adapter maps its own format names onto these identifiers.
class Pasteboard
{
public:
    // Representations served exactly as they are: a MIME type name with its bytes.
    using Formats = QList<std::pair<QString, QByteArray>>;

    virtual ~Pasteboard() = default;

    // Grows whenever anyone, ourselves included, changes the content. Must be cheap: the
    // engine reads it at every tick, and an idle tick must not talk to the display server.
    virtual qint64 changeCount() const = 0;
    // The identifiers of the current content, each once, in the owner's order.
    virtual QStringList types() const = 0;
    // The content for one type, or nothing when the content has no such representation.
    virtual std::optional<QString> string(const QString &type) const = 0;
    // Starts new content that will offer exactly these types; earlier representations are
    // discarded at the latest by the following setString.
    virtual void declareTypes(const QStringList &types) = 0;
    // Sets the string for a declared type. True when the clipboard holds exactly this string
    // afterwards.
    virtual bool setString(const QString &text, const QString &type) = 0;
    // The bytes the owner serves under this MIME type name, unchanged; nothing when it offers no
    // such type or does not answer.
    virtual std::optional<QByteArray> data(const QString &mimeType) const = 0;
    // New content of ours: this plain text, and these formats beside it. Like setString, it is
    // refused when someone else copied after the content last read or written, and raises the
    // change count. True when the clipboard holds exactly this afterwards.
    virtual bool setContents(const QString &text, const Formats &formats) = 0;
    // Called on the pasteboard's thread whenever the display server reports that someone else
    // changed the content. A pasteboard without such notices never calls it.
    virtual void setChangeNotice(std::function<void()> notice) { Q_UNUSED(notice) }
};

namespace PasteboardType {
inline const QString string = QStringLiteral("public.utf8-plain-text");
inline const QString html = QStringLiteral("public.html");
inline const QString rtf = QStringLiteral("public.rtf");
inline const QString rtfd = QStringLiteral("com.apple.rtfd");
inline const QString flatRtfd = QStringLiteral("com.apple.flat-rtfd");
inline const QString fileUrl = QStringLiteral("public.file-url");
inline const QString tiff = QStringLiteral("public.tiff");
inline const QString png = QStringLiteral("public.png");
} // namespace PasteboardType
