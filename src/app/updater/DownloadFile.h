#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

// A package being downloaded: a file of the user's alone, hashed as it is written.
//
// The folder is made private (0700, owned by the user, not a link) and the file is created
// afresh in it, exclusively, mode 0600, never through a link: nothing another program planted
// at that name is opened or overwritten. The file is removed when the object goes, unless it
// was kept.
class DownloadFile
{
public:
    DownloadFile() = default;
    ~DownloadFile();
    DownloadFile(const DownloadFile &) = delete;
    DownloadFile &operator=(const DownloadFile &) = delete;

    // `name` is only a file name; `capacity` is the most the file may ever hold.
    bool open(const QString &folder, const QString &name, qint64 capacity, QString *error);

    // Appends; false, with nothing written, when the file would grow past its capacity, and
    // false when the disk refuses.
    bool write(const QByteArray &chunk);

    QString path() const { return m_path; }
    qint64 size() const { return m_size; }
    // The SHA-256 of everything written so far.
    QByteArray sha256() const { return m_hash.result(); }

    // Closes the file and leaves it on disk for whoever installs it.
    void keep();

private:
    void close();

    QString m_path;
    int m_fd = -1;
    qint64 m_size = 0;
    qint64 m_capacity = 0;
    bool m_kept = false;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
};
