#include "updater/InstalledPackage.h"

#include <QFile>

namespace {

bool listsFile(const QString &listPath, const QString &binary)
{
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    while (!list.atEnd()) {
        if (QString::fromUtf8(list.readLine()).trimmed() == binary)
            return true;
    }
    return false;
}

// The Version of the stanza of `name` in dpkg's status file when its Status says installed. A
// package half-installed, or removed with its configuration kept, still has a stanza there.
std::optional<QString> installedVersion(const QString &statusPath, const QString &name)
{
    QFile status(statusPath);
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    bool ours = false;
    bool installed = false;
    QString version;
    while (true) {
        const bool atEnd = status.atEnd();
        const QByteArray line = atEnd ? QByteArray() : status.readLine();
        if (line.trimmed().isEmpty()) {
            if (ours)
                return installed && !version.isEmpty() ? std::optional(version) : std::nullopt;
            if (atEnd)
                return std::nullopt;
            installed = false;
            version.clear();
            continue;
        }
        // Continuation lines of multi-line fields (Description, Conffiles) start with a blank.
        const qsizetype colon = line.indexOf(':');
        if (line.front() == ' ' || line.front() == '\t' || colon <= 0)
            continue;
        const QByteArray field = line.first(colon);
        const QString value = QString::fromUtf8(line.sliced(colon + 1)).trimmed();
        if (field == "Package")
            ours = value == name;
        else if (field == "Status")
            installed = value.endsWith(QLatin1String(" installed"));
        else if (field == "Version")
            version = value;
    }
}

} // namespace

QString InstalledPackage::upstreamVersion() const
{
    QString upstream = version;
    const qsizetype colon = upstream.indexOf(u':');
    if (colon >= 0)
        upstream = upstream.sliced(colon + 1);
    const qsizetype dash = upstream.lastIndexOf(u'-');
    if (dash > 0)
        upstream.truncate(dash);
    return upstream;
}

std::optional<InstalledPackage> InstalledPackage::owning(
    const QString &binary, const QString &name, const QString &dpkgFolder)
{
    if (name.isEmpty()
        || !listsFile(
            dpkgFolder + QStringLiteral("/info/") + name + QStringLiteral(".list"), binary))
        return std::nullopt;
    const auto version = installedVersion(dpkgFolder + QStringLiteral("/status"), name);
    if (!version)
        return std::nullopt;
    return InstalledPackage{name, *version};
}
