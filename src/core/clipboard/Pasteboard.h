#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The clipboard engine's whole view of the system clipboard.
//
// Content is described by ordered type identifiers, in the order the owner offers them. A
// platform adapter maps its own format names onto these identifiers.
class Pasteboard
{
public:
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
