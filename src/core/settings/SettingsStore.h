#pragma once

#include <QDateTime>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <functional>

// The per-user key-value store: one JSON file in the XDG config folder,
// $XDG_CONFIG_HOME/OrvaneTavo/OrvaneTavo.json (see SettingsFile for its format).
//
// Every call reads the file afresh, so a read always sees what any writer (another object,
// another thread, another process) has written, and every write replaces the file at once:
// nothing the user set is lost to a crash. An absent key stays distinct from a stored false.
// No call ever blocks for long on the file, whatever sits at its path.
//
// A write that fails (read-only folder, full disk, a lock nobody releases) is not lost for
// the run: the value is held in memory, every reader in the process gets it from there, and
// one line goes to the system log. So the engine, the window and the tray always agree on
// what the user last chose. A later write of the key that succeeds ends the hold.
//
// A file that is there but cannot be read is never taken as empty: readers get what it held
// when last read, nothing is written over it (writes are held as above), and the log says so
// once.
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
    // when the key is absent or holds something else. The integer read takes a number that
    // is not whole, or too large, as its whole part within the 64-bit range, and a string of
    // a number as that number.
    bool boolValue(const QString &key) const;
    qint64 integer(const QString &key) const;
    QString string(const QString &key) const;
    QVariantList array(const QString &key) const;
    QDateTime date(const QString &key) const;

    void setBool(const QString &key, bool value) const;
    void setInteger(const QString &key, qint64 value) const;
    // Strings, arrays and dates.
    void setObject(const QString &key, const QVariant &value) const;
    // Adds one to the integer under `key` and returns the result. At the largest value it
    // stays there: a counter never wraps to a negative number.
    qint64 increment(const QString &key) const;
    // Stores what `next` makes of the value under `key`, read under the file's lock so that no
    // other writer comes in between, and returns it.
    QVariant update(
        const QString &key, const std::function<QVariant(const QVariant &)> &next) const;
};
