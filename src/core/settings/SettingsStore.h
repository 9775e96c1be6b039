#pragma once

#include <QDateTime>
#include <QSettings>
#include <QString>
#include <QVariant>

// The per-user key-value store: one JSON file in the XDG config folder,
// $XDG_CONFIG_HOME/OrvaneTavo/OrvaneTavo.json.
//
// Every call opens the store afresh, so a read always sees what any writer (another object,
// another thread, another process) has written, and every write is synced to disk at once:
// nothing the user set is lost to a crash. The file keeps value types: Booleans, 64-bit
// integers, strings, arrays and dates ({"$date": "<ISO 8601 UTC with ms>"}), and an absent key
// stays distinct from a stored false. A file that does not parse is renamed aside with a
// ".corrupt" suffix, never overwritten, and the store starts empty.
//
// A SettingsStore holds no state of its own; it is safe to use from any thread.
class SettingsStore
{
public:
    // The registered JSON format, usable with any QSettings.
    static QSettings::Format format();
    QString fileName() const;

    // The stored object, or an invalid QVariant when the key is absent.
    QVariant object(const QString &key) const;
    bool contains(const QString &key) const;
    // The ordinary typed reads: false, 0, an empty string, an empty list or an invalid date
    // when the key is absent or holds something else.
    bool boolValue(const QString &key) const;
    qint64 integer(const QString &key) const;
    QString string(const QString &key) const;
    QVariantList array(const QString &key) const;
    QDateTime date(const QString &key) const;

    void setBool(const QString &key, bool value) const;
    void setInteger(const QString &key, qint64 value) const;
    // Strings, arrays and dates.
    void setObject(const QString &key, const QVariant &value) const;

private:
    void write(const QString &key, const QVariant &value) const;
};
