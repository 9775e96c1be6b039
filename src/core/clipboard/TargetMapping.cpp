#include "clipboard/TargetMapping.h"

#include "clipboard/Pasteboard.h"

#include <QHash>
#include <QSet>

namespace {

bool isMetaTarget(const QString &format)
{
    static const QSet<QString> meta{QStringLiteral("TARGETS"), QStringLiteral("MULTIPLE"),
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
    if (format == QLatin1String("text/plain") || format.startsWith(QLatin1String("text/plain;")))
        return PasteboardType::string;
    if (format.startsWith(QLatin1String("application/x-openoffice-biff-8")))
        return QStringLiteral("com.microsoft.excel.biff8");
    // Every image copy carries TIFF on the system these identifiers come from.
    if (format.startsWith(QLatin1String("image/")))
        return PasteboardType::tiff;
    return format;
}

} // namespace

namespace TargetMapping {

QStringList identifiersForFormats(const QStringList &formats)
{
    QStringList identifiers;
    QSet<QString> seen;
    for (const QString &format : formats) {
        if (format.isEmpty() || isMetaTarget(format))
            continue;
        const QString identifier = identifierForFormat(format);
        if (!seen.contains(identifier)) {
            seen.insert(identifier);
            identifiers.append(identifier);
        }
    }
    return identifiers;
}

} // namespace TargetMapping
