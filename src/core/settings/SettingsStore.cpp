#include "settings/SettingsStore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTimeZone>

namespace {

Q_LOGGING_CATEGORY(lcStore, "orvane.settings")

constexpr auto dateKey = "$date";
constexpr auto corruptSuffix = ".corrupt";

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

// A file we cannot understand may still hold what the user set: move it out of the way
// (never over an earlier one) so that a person can look at it, and go on with an empty store.
void setAside(QIODevice &device)
{
    auto *file = qobject_cast<QFile *>(&device);
    if (!file)
        return;
    const QString name = file->fileName();
    QString target = name + QLatin1String(corruptSuffix);
    for (int n = 1; QFile::exists(target); ++n)
        target = name + QLatin1Char('.') + QString::number(n) + QLatin1String(corruptSuffix);
    if (QFile::rename(name, target))
        qCWarning(lcStore) << "unreadable settings file moved to" << target;
    else
        qCWarning(lcStore) << "unreadable settings file" << name << "could not be moved aside";
}

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(device.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        setAside(device);
        return true;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QVariant value = fromJson(it.value());
        if (value.isValid())
            map.insert(it.key(), value);
    }
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), toJson(it.value()));
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    return device.write(bytes) == bytes.size();
}

QSettings open()
{
    return QSettings(SettingsStore::format(), QSettings::UserScope, QStringLiteral("OrvaneTavo"),
        QStringLiteral("OrvaneTavo"));
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
    return open().fileName();
}

QVariant SettingsStore::object(const QString &key) const
{
    return open().value(key);
}

bool SettingsStore::contains(const QString &key) const
{
    return open().contains(key);
}

bool SettingsStore::boolValue(const QString &key) const
{
    return object(key).toBool();
}

qint64 SettingsStore::integer(const QString &key) const
{
    return object(key).toLongLong();
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
    write(key, value);
}

void SettingsStore::setInteger(const QString &key, qint64 value) const
{
    write(key, QVariant::fromValue(value));
}

void SettingsStore::setObject(const QString &key, const QVariant &value) const
{
    write(key, value);
}

void SettingsStore::write(const QString &key, const QVariant &value) const
{
    QSettings settings = open();
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qCWarning(lcStore) << "could not write" << key << "to" << settings.fileName();
}
