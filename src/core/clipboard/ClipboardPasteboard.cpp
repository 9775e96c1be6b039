#include "clipboard/ClipboardPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace {

const QString plainTextFormat = QStringLiteral("text/plain");

bool isMetaTarget(const QString &format)
{
    static const QStringList meta{QStringLiteral("TARGETS"), QStringLiteral("MULTIPLE"),
        QStringLiteral("TIMESTAMP"), QStringLiteral("SAVE_TARGETS"), QStringLiteral("DELETE"),
        QStringLiteral("INCR")};
    return meta.contains(format);
}

QString identifierForFormat(const QString &format)
{
    static const QHash<QString, QString> exact{
        {QStringLiteral("text/html"), PasteboardType::html},
        {QStringLiteral("text/rtf"), PasteboardType::rtf},
        {QStringLiteral("application/rtf"), PasteboardType::rtf},
        {QStringLiteral("text/richtext"), PasteboardType::rtf},
        {QStringLiteral("text/uri-list"), PasteboardType::fileUrl},
        {QStringLiteral("x-special/gnome-copied-files"), PasteboardType::fileUrl},
        {QStringLiteral("application/x-kde4-urilist"), PasteboardType::fileUrl},
        {QStringLiteral("image/png"), PasteboardType::png},
        {QStringLiteral("application/x-qt-image"), PasteboardType::tiff},
        {QStringLiteral("Biff8"), QStringLiteral("com.microsoft.excel.biff8")},
        {QStringLiteral("application/x-libreoffice-tsvc"),
            QStringLiteral("org.libreoffice.tab-separated-values")},
        // The plain-text names that X11 owners offer beside text/plain.
        {QStringLiteral("UTF8_STRING"), PasteboardType::string},
        {QStringLiteral("STRING"), PasteboardType::string},
        {QStringLiteral("TEXT"), PasteboardType::string},
    };
    const auto it = exact.constFind(format);
    if (it != exact.constEnd())
        return *it;
    if (format == plainTextFormat || format.startsWith(QLatin1String("text/plain;")))
        return PasteboardType::string;
    if (format.startsWith(QLatin1String("application/x-openoffice-biff-8")))
        return QStringLiteral("com.microsoft.excel.biff8");
    // Every image copy carries TIFF on the system these identifiers come from.
    if (format.startsWith(QLatin1String("image/")))
        return PasteboardType::tiff;
    return format;
}

} // namespace

ClipboardPasteboard::ClipboardPasteboard(QObject *parent)
    : QObject(parent)
    , m_clipboard(QGuiApplication::clipboard())
{
    connect(m_clipboard, &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard)
            ++m_changeCount;
    });
}

QStringList ClipboardPasteboard::identifiersForFormats(const QStringList &formats)
{
    QStringList identifiers;
    for (const QString &format : formats) {
        if (format.isEmpty() || isMetaTarget(format))
            continue;
        const QString identifier = identifierForFormat(format);
        if (!identifiers.contains(identifier))
            identifiers.append(identifier);
    }
    return identifiers;
}

QStringList ClipboardPasteboard::types() const
{
    const QMimeData *data = m_clipboard->mimeData(QClipboard::Clipboard);
    return data ? identifiersForFormats(data->formats()) : QStringList();
}

std::optional<QString> ClipboardPasteboard::string(const QString &type) const
{
    // Only plain text is ever asked for; reading another representation would make the owner
    // send data the engine never uses.
    if (type != PasteboardType::string)
        return std::nullopt;
    const QMimeData *data = m_clipboard->mimeData(QClipboard::Clipboard);
    if (!data || !data->hasText())
        return std::nullopt;
    return data->text();
}

void ClipboardPasteboard::declareTypes(const QStringList &types)
{
    // An X11 owner cannot hold the clipboard without offering data, so the declaration takes
    // effect together with the string that follows it.
    m_declared = types;
}

bool ClipboardPasteboard::setString(const QString &text, const QString &type)
{
    if (type != PasteboardType::string || m_declared != QStringList{PasteboardType::string})
        return false;
    m_declared.clear();
    auto *data = new QMimeData;
    data->setText(text);
    m_clipboard->setMimeData(data, QClipboard::Clipboard);
    // Taking the clipboard can fail (the display connection is gone, another client took it at
    // the same moment); only a string we really hold counts as written. The clipboard hands
    // back our own object only while we own it.
    return m_clipboard->mimeData(QClipboard::Clipboard) == data && data->text() == text;
}
