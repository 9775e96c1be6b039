#include "settings/SettingsStore.h"

#include "platform/PathAside.h"
#include "platform/SystemLog.h"
#include "settings/SettingsFile.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QStandardPaths>

#include <cmath>
#include <limits>
#include <optional>

namespace {

constexpr qint64 largest = std::numeric_limits<qint64>::max();
constexpr qint64 smallest = std::numeric_limits<qint64>::min();

// Values whose write failed, by file, and what each file held when it was last read or written.
// The engine may run on another thread than the window, so the maps have a lock of their own;
// it is held only to look up or change them.
struct HeldValues
{
    QMutex mutex;
    QHash<QString, QVariantMap> byFile;
    // Keys held from a value made while the file could not be read, and had not been in this
    // run: a guess, never to be written over what the file holds once it can be read.
    QHash<QString, QSet<QString>> guessed;
    QHash<QString, QVariantMap> lastRead;
    QSet<QString> unreadable;
};

HeldValues &held()
{
    static HeldValues values;
    return values;
}

std::optional<QVariant> heldValue(const QString &file, const QString &key)
{
    HeldValues &values = held();
    const QMutexLocker locker(&values.mutex);
    const auto it = values.byFile.constFind(file);
    if (it == values.byFile.constEnd() || !it->contains(key))
        return std::nullopt;
    return it->value(key);
}

bool isGuessed(const QString &file, const QString &key)
{
    HeldValues &values = held();
    const QMutexLocker locker(&values.mutex);
    return values.guessed.value(file).contains(key);
}

// True when the key was not held yet.
bool hold(const QString &file, const QString &key, const QVariant &value, bool guess)
{
    HeldValues &values = held();
    const QMutexLocker locker(&values.mutex);
    QVariantMap &map = values.byFile[file];
    const bool first = !map.contains(key);
    map.insert(key, value);
    if (guess)
        values.guessed[file].insert(key);
    else
        values.guessed[file].remove(key);
    return first;
}

void release(const QString &file, const QString &key)
{
    HeldValues &values = held();
    const QMutexLocker locker(&values.mutex);
    values.byFile[file].remove(key);
    values.guessed[file].remove(key);
}

void remember(const QString &file, const QVariantMap &values)
{
    HeldValues &state = held();
    const QMutexLocker locker(&state.mutex);
    state.lastRead.insert(file, values);
    state.unreadable.remove(file);
}

// The file's values; when it is there but cannot be read (no permission, no descriptor left),
// what it held when last read, so that the count shown does not drop to nothing meanwhile.
// `known` is false when there was nothing to go by.
QVariantMap fileValues(const QString &file, bool *known = nullptr)
{
    QString error;
    const std::optional<QVariantMap> values = SettingsFile(file).read(&error);
    if (known)
        *known = true;
    if (values) {
        remember(file, *values);
        return *values;
    }
    HeldValues &state = held();
    QMutexLocker locker(&state.mutex);
    const QVariantMap last = state.lastRead.value(file);
    if (known)
        *known = state.lastRead.contains(file);
    // Said once, until the file can be read again: every read of every key would repeat it.
    const bool first = !state.unreadable.contains(file);
    state.unreadable.insert(file);
    locker.unlock();
    if (first)
        SystemLog::write(QStringLiteral("OrvaneTavo: réglages: ") + error);
    return last;
}

qint64 wholePart(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 9223372036854775808.0) // 2^63, the first double beyond the range
        return largest;
    if (value <= double(smallest))
        return smallest;
    return qint64(value);
}

qint64 integerOf(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return value.toLongLong();
    case QMetaType::Double:
        return wholePart(value.toDouble());
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        bool ok = false;
        const qint64 whole = text.toLongLong(&ok);
        if (ok)
            return whole;
        const double number = text.toDouble(&ok);
        return ok ? wholePart(number) : 0;
    }
    default:
        return 0;
    }
}

// The registered format serves QSettings users of the file; the store itself goes through
// SettingsFile, which never blocks.
bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    bool ok = false;
    map = SettingsFile::parse(device.readAll(), &ok);
    if (!ok) {
        if (auto *file = qobject_cast<QFile *>(&device))
            PathAside::move(file->fileName());
    }
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    const QByteArray bytes = SettingsFile::serialize(map);
    return device.write(bytes) == bytes.size();
}

} // namespace

QSettings::Format SettingsStore::format()
{
    static const QSettings::Format json
        = QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson);
    return json;
}

QString SettingsStore::fileName() const
{
    // Where QSettings puts a user-scope file of organisation and application "OrvaneTavo".
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/OrvaneTavo/OrvaneTavo.json");
}

QVariant SettingsStore::object(const QString &key) const
{
    const QString file = fileName();
    if (const std::optional<QVariant> value = heldValue(file, key))
        return *value;
    return fileValues(file).value(key);
}

bool SettingsStore::contains(const QString &key) const
{
    return object(key).isValid();
}

bool SettingsStore::boolValue(const QString &key) const
{
    return object(key).toBool();
}

qint64 SettingsStore::integer(const QString &key) const
{
    return integerOf(object(key));
}

QString SettingsStore::string(const QString &key) const
{
    const QVariant value = object(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

QVariantList SettingsStore::array(const QString &key) const
{
    const QVariant value = object(key);
    return value.typeId() == QMetaType::QVariantList ? value.toList() : QVariantList();
}

QDateTime SettingsStore::date(const QString &key) const
{
    const QVariant value = object(key);
    return value.typeId() == QMetaType::QDateTime ? value.toDateTime() : QDateTime();
}

void SettingsStore::setBool(const QString &key, bool value) const
{
    update(key, [value](const QVariant &) { return QVariant(value); });
}

void SettingsStore::setInteger(const QString &key, qint64 value) const
{
    update(key, [value](const QVariant &) { return QVariant::fromValue(value); });
}

void SettingsStore::setObject(const QString &key, const QVariant &value) const
{
    update(key, [&value](const QVariant &) { return value; });
}

qint64 SettingsStore::increment(const QString &key) const
{
    return update(key, [](const QVariant &current) {
        const qint64 count = integerOf(current);
        return QVariant::fromValue(count == largest ? largest : count + 1);
    }).toLongLong();
}

QVariant SettingsStore::update(
    const QString &key, const std::function<QVariant(const QVariant &)> &next) const
{
    const QString file = fileName();
    std::optional<QVariant> written;
    QVariantMap stored;
    QString error;
    const bool ok = SettingsFile(file).update(
        [&](QVariantMap &values) {
            // A value held from a failed write is what readers saw last: go on from it, unless
            // it was only a guess.
            const std::optional<QVariant> current = heldValue(file, key);
            written = next(current && !isGuessed(file, key) ? *current : values.value(key));
            values.insert(key, *written);
            stored = values;
        },
        &error);
    if (ok) {
        release(file, key);
        remember(file, stored);
        return *written;
    }
    bool guess = false;
    if (!written) {
        const std::optional<QVariant> current = heldValue(file, key);
        bool known = true;
        written = next(current ? *current : fileValues(file, &known).value(key));
        guess = current ? isGuessed(file, key) : !known;
    }
    // Said once per key and run: a counter that cannot be stored would otherwise log a line
    // for every cleaned copy.
    if (hold(file, key, *written, guess))
        SystemLog::write(QStringLiteral("OrvaneTavo: réglages: impossible d'enregistrer %1: %2")
                             .arg(key, error));
    return *written;
}
