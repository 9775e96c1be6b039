#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

// The settings store's JSON file on disk.
//
// Nothing here ever waits without end: reading opens only a regular file (or a link to one),
// so a FIFO, a directory or a dangling link at the path is set aside like a file that does
// not parse, or read as empty when it cannot be moved. Writing takes the same lock file as
// QSettings ("<file>.lock"), so it merges with QSettings writers of the file, but waits for it
// a bounded time only; the new content then replaces the file atomically.
//
// A file that is there but cannot be read (no permission, no descriptor left, an I/O error) is
// not an empty one: it is neither set aside nor written over.
class SettingsFile
{
public:
    explicit SettingsFile(const QString &path);

    QString path() const { return m_path; }

    // Every stored value; empty when there is no file, or none that could be used (then set
    // aside). Nothing when the file could not be read, and `error` says why (for the log).
    std::optional<QVariantMap> read(QString *error = nullptr) const;

    // Reads the file under the lock, lets `change` edit the values and writes them back. On
    // failure the file is untouched and `error` says why (for the log).
    bool update(const std::function<void(QVariantMap &)> &change, QString *error) const;

    // The file's format: a JSON object whose values keep their types, dates written as
    // {"$date": "<ISO 8601 UTC with ms>"}. `ok` is false when the bytes are not such an object.
    static QVariantMap parse(const QByteArray &bytes, bool *ok);
    static QByteArray serialize(const QVariantMap &values);

    // How long a write waits for another writer's lock before it gives up.
    static constexpr int lockWaitMs = 250;

private:
    QString m_path;
};
