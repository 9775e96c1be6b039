#include "settings/SettingsFile.h"

#include "platform/PathAside.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr auto dateKey = "$date";
constexpr auto corruptSuffix = ".corrupt";
// The file holds a handful of keys; anything this large is not ours.
constexpr qint64 sizeCap = 16 * 1024 * 1024;

QVariant fromJson(const QJsonValue &value);

QVariant fromJsonObject(const QJsonObject &object)
{
    if (object.size() == 1 && object.contains(QLatin1String(dateKey))) {
        const QDateTime date = QDateTime::fromString(
            object.value(QLatin1String(dateKey)).toString(), Qt::ISODateWithMs);
        if (date.isValid())
            return date.toUTC();
    }
    QVariantMap map;
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), fromJson(it.value()));
    return map;
}

QVariant fromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        // Whole numbers come back as 64-bit integers; the counter must not turn into a double.
        constexpr qint64 notWhole = std::numeric_limits<qint64>::min();
        const qint64 whole = value.toInteger(notWhole);
        if (whole != notWhole || value.toDouble() == double(notWhole))
            return QVariant::fromValue(whole);
        return value.toDouble();
    }
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &item : value.toArray())
            list.append(fromJson(item));
        return list;
    }
    case QJsonValue::Object:
        return fromJsonObject(value.toObject());
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return {};
}

QJsonValue toJson(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return value.toLongLong();
    case QMetaType::QDateTime:
        return QJsonObject{
            {QLatin1String(dateKey), value.toDateTime().toUTC().toString(Qt::ISODateWithMs)}};
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &item : value.toList())
            array.append(toJson(item));
        return array;
    }
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    default:
        return QJsonValue::fromVariant(value);
    }
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// What reading the file found.
enum class Found { Content, Unusable, Unreadable };

// The whole content of a regular file, read without ever waiting on a writer that does not
// come. Unusable: the open descriptor turns out to be anything else, or far too large.
// Unreadable: opening or reading failed, and errno says why.
Found readRegularFile(const QByteArray &name, QByteArray *bytes)
{
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? Found::Content : Found::Unreadable;
    struct stat info;
    Found found = Found::Unusable;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= sizeCap) {
        found = Found::Content;
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0 && bytes->size() + n <= sizeCap) {
                bytes->append(buffer, n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n != 0)
                    found = n < 0 ? Found::Unreadable : Found::Unusable;
                break;
            }
        }
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return found;
}

} // namespace

SettingsFile::SettingsFile(const QString &path)
    : m_path(path)
{
}

std::optional<QVariantMap> SettingsFile::read(QString *error) const
{
    const QByteArray name = QFile::encodeName(m_path);
    const auto unreadable = [&](int code) {
        fail(error, QStringLiteral("cannot read %1: %2").arg(m_path, qt_error_string(code)));
        return std::nullopt;
    };
    struct stat info;
    if (::stat(name.constData(), &info) != 0) {
        // A missing file is an empty store; a link that leads nowhere is set aside, so that the
        // next write makes a real file rather than one wherever the link points.
        const int code = errno;
        struct stat link;
        if ((code == ENOENT || code == ELOOP) && ::lstat(name.constData(), &link) == 0
            && S_ISLNK(link.st_mode))
            PathAside::move(m_path);
        else if (code != ENOENT && code != ENOTDIR)
            return unreadable(code);
        return QVariantMap();
    }
    // Opening a FIFO would wait for a writer, a device could be anything: only a regular
    // file is ever opened.
    QByteArray bytes;
    const Found found = S_ISREG(info.st_mode) ? readRegularFile(name, &bytes) : Found::Unusable;
    if (found == Found::Unreadable)
        return unreadable(errno);
    if (found == Found::Unusable) {
        PathAside::move(m_path);
        return QVariantMap();
    }
    if (bytes.isEmpty())
        return QVariantMap();
    bool ok = false;
    const QVariantMap values = parse(bytes, &ok);
    if (!ok)
        PathAside::move(m_path);
    return values;
}

bool SettingsFile::update(const std::function<void(QVariantMap &)> &change, QString *error) const
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return fail(error, QStringLiteral("cannot create the folder of %1").arg(m_path));

    const QString lockPath = m_path + QStringLiteral(".lock");
    // A real lock that stays held means another writer is stuck; waiting for it would freeze
    // whoever asked for this write.
    QLockFile lock(lockPath);
    if (!PathAside::tryLock(lock, lockPath, lockWaitMs))
        return fail(error,
            lock.error() == QLockFile::LockFailedError
                ? QStringLiteral("%1 is held by another writer").arg(lockPath)
                : QStringLiteral("cannot create %1").arg(lockPath));

    // What could not be read is not written over: its values would be lost.
    std::optional<QVariantMap> values = read(error);
    if (!values)
        return false;
    change(*values);
    const QByteArray bytes = serialize(*values);
    // Written beside the file and renamed over it: the file is always whole, old or new.
    QSaveFile file(m_path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString()));
    return true;
}

QVariantMap SettingsFile::parse(const QByteArray &bytes, bool *ok)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    *ok = error.error == QJsonParseError::NoError && document.isObject();
    QVariantMap values;
    if (!*ok)
        return values;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QVariant value = fromJson(it.value());
        if (value.isValid())
            values.insert(it.key(), value);
    }
    return values;
}

QByteArray SettingsFile::serialize(const QVariantMap &values)
{
    QJsonObject object;
    for (auto it = values.begin(); it != values.end(); ++it)
        object.insert(it.key(), toJson(it.value()));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}
