#include "platform/AutostartLoginItem.h"

#include "platform/RunningAppImage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <optional>

namespace {

constexpr auto entryFileName = "orvanetavo.desktop";
constexpr auto mainGroup = "Desktop Entry";

// Characters that make the desktop split or interpret an Exec argument unless it is quoted.
bool needsQuoting(QChar c)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return reserved.contains(c);
}

// One Exec argument, quoted the way desktops unquote it. Inside double quotes only ", `, $
// and \ keep a special meaning, so those take a backslash.
QString quotedExecArgument(const QString &argument)
{
    QString quoted;
    if (argument.isEmpty() || std::any_of(argument.begin(), argument.end(), needsQuoting)) {
        quoted += u'"';
        for (const QChar c : argument) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                quoted += u'\\';
            quoted += c;
        }
        quoted += u'"';
    } else {
        quoted = argument;
    }
    // A lone % starts a field code (%f, %u...) that the desktop would substitute.
    quoted.replace(u'%', QStringLiteral("%%"));
    return quoted;
}

// The desktop undoes the string escapes of a value before it unquotes Exec, so a backslash
// from the quoting above is written doubled, and a line break must not end the value.
QString escapedStringValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case u'\\':
            escaped += QStringLiteral("\\\\");
            break;
        case u'\n':
            escaped += QStringLiteral("\\n");
            break;
        case u'\t':
            escaped += QStringLiteral("\\t");
            break;
        case u'\r':
            escaped += QStringLiteral("\\r");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

// The keys of the [Desktop Entry] group, or nothing when the file is not something the
// desktop would load: not UTF-8, a key before any group, a line that is neither a comment, a
// group nor a key, or no [Desktop Entry] group at all.
std::optional<QHash<QString, QString>> desktopEntryKeys(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;

    QHash<QString, QString> keys;
    bool sawMainGroup = false;
    std::optional<QString> group;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            const QStringView name = line.sliced(1);
            if (!name.endsWith(u']'))
                return std::nullopt;
            const QStringView bare = name.chopped(1);
            if (bare.isEmpty() || bare.contains(u'[') || bare.contains(u']'))
                return std::nullopt;
            group = bare.toString();
            sawMainGroup = sawMainGroup || group == QLatin1String(mainGroup);
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!group || equals <= 0)
            return std::nullopt;
        const QStringView key = line.first(equals).trimmed();
        if (key.isEmpty())
            return std::nullopt;
        if (group == QLatin1String(mainGroup))
            keys.insert(key.toString(), line.sliced(equals + 1).trimmed().toString());
    }
    if (!sawMainGroup)
        return std::nullopt;
    return keys;
}

bool isValue(const QHash<QString, QString> &keys, const char *key, const char *value)
{
    return keys.value(QLatin1String(key)).compare(QLatin1String(value), Qt::CaseInsensitive) == 0;
}

} // namespace

AutostartLoginItem::AutostartLoginItem(const QString &command, const QString &autostartFolder)
    : m_command(command)
    , m_folder(autostartFolder)
{
}

QString AutostartLoginItem::commandForThisProcess()
{
    // Inside an AppImage the binary lives in a mount that is gone after logout; the image
    // itself is what must be started again.
    const QString appImage = RunningAppImage::path();
    return appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage;
}

QString AutostartLoginItem::defaultAutostartFolder()
{
    // A relative XDG_CONFIG_HOME is invalid and must be ignored, as desktops do.
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir::homePath() + QStringLiteral("/.config");
    return configHome + QStringLiteral("/autostart");
}

QString AutostartLoginItem::filePath() const
{
    return QDir(m_folder).filePath(QLatin1String(entryFileName));
}

LoginItem::Status AutostartLoginItem::status() const
{
    const QString path = filePath();
    // Opening a FIFO or a device found at that name could block; only a file can be an entry.
    if (!QFileInfo(path).isFile())
        return Status::NotRegistered;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::NotRegistered;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Status::NotRegistered;

    const auto keys = desktopEntryKeys(bytes);
    if (!keys)
        return Status::NotRegistered;
    // Hidden=true is how a user (or a settings panel) deletes an entry without deleting it;
    // GNOME's own switch turns it off the same way.
    if (isValue(*keys, "Hidden", "true") || isValue(*keys, "X-GNOME-Autostart-enabled", "false"))
        return Status::NotRegistered;
    return Status::Enabled;
}

bool AutostartLoginItem::registerItem(QString *error)
{
    auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };

    if (!QDir().mkpath(m_folder))
        return fail(QStringLiteral("impossible de créer le dossier %1").arg(m_folder));

    const QString contents = QStringLiteral("[Desktop Entry]\n"
                                            "Type=Application\n"
                                            "Name=OrvaneTavo\n"
                                            "Comment[fr]=Colle toujours du texte brut, partout.\n"
                                            "Exec=%1\n"
                                            // Once the program is removed, the desktop skips
                                            // the entry instead of failing at every login.
                                            "TryExec=%2\n"
                                            "Icon=" ORVANE_APP_ID "\n"
                                            "Terminal=false\n"
                                            "X-GNOME-Autostart-enabled=true\n")
                                 .arg(escapedStringValue(quotedExecArgument(m_command)),
                                     escapedStringValue(m_command));

    // Written whole or not at all: a half-written entry could start a broken command at login.
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly)) {
        return fail(
            QStringLiteral("impossible d'écrire %1 : %2").arg(filePath(), file.errorString()));
    }
    file.write(contents.toUtf8());
    if (!file.commit()) {
        return fail(
            QStringLiteral("impossible d'écrire %1 : %2").arg(filePath(), file.errorString()));
    }
    return true;
}

bool AutostartLoginItem::unregisterItem(QString *error)
{
    const QString path = filePath();
    QFile file(path);
    file.remove();
    // A dangling link is still an entry in the folder, even though the file behind it is gone.
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (error) {
        *error = QStringLiteral("impossible de supprimer %1 : %2").arg(path, file.errorString());
    }
    return false;
}
