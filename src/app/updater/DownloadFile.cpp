#include "updater/DownloadFile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

QString lastError()
{
    return QString::fromLocal8Bit(strerror(errno));
}

} // namespace

DownloadFile::~DownloadFile()
{
    close();
    if (!m_kept && !m_path.isEmpty())
        QFile::remove(m_path);
}

bool DownloadFile::open(const QString &folder, const QString &name, qint64 capacity, QString *error)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
        return fail(error, QStringLiteral("unusable file name %1").arg(name));
    if (!QDir().mkpath(folder))
        return fail(error, QStringLiteral("cannot create %1").arg(folder));

    // The folder is checked through its own descriptor, so that what is checked is what the
    // file is then created in.
    const int dir = ::open(
        QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return fail(error, QStringLiteral("cannot open %1: %2").arg(folder, lastError()));
    struct stat info;
    if (::fstat(dir, &info) != 0 || info.st_uid != ::geteuid() || ::fchmod(dir, 0700) != 0) {
        ::close(dir);
        return fail(error, QStringLiteral("%1 is not a folder of this user's").arg(folder));
    }

    const QByteArray file = QFile::encodeName(name);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dir, file.constData(), flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        // Left by an earlier run, or planted: unlinking removes a link, never its target.
        ::unlinkat(dir, file.constData(), 0);
        fd = ::openat(dir, file.constData(), flags, 0600);
    }
    const QString why = lastError();
    ::close(dir);
    if (fd < 0)
        return fail(error, QStringLiteral("cannot create %1 in %2: %3").arg(name, folder, why));
    // The mode given at creation passes through the umask; this one does not.
    ::fchmod(fd, 0600);

    m_fd = fd;
    m_path = QDir(folder).filePath(name);
    m_capacity = capacity;
    return true;
}

bool DownloadFile::write(const QByteArray &chunk)
{
    if (m_fd < 0 || chunk.size() > m_capacity - m_size)
        return false;
    const char *data = chunk.constData();
    qint64 left = chunk.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    m_size += chunk.size();
    m_hash.addData(chunk);
    return true;
}

void DownloadFile::keep()
{
    close();
    m_kept = true;
}

void DownloadFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
