#include "clipboard/KeeperFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString folderPrefix = QStringLiteral("orvanetavo-keep-");

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            return false;
    }
    return true;
}

// Only ours, only private, and only the kind asked for: never a link.
bool isPrivate(const struct stat &info, mode_t kind, mode_t mode)
{
    return (info.st_mode & S_IFMT) == kind && info.st_uid == ::getuid()
        && (info.st_mode & 07777) == mode;
}

std::optional<QByteArray> readAll(int fd, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes.data() + done, size_t(size - done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            return std::nullopt;
    }
    return bytes;
}

} // namespace

QString KeeperFile::write(const QByteArray &bytes)
{
    QByteArray folder = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + folderPrefix)
        + QByteArrayLiteral("XXXXXX");
    if (!::mkdtemp(folder.data()))
        return {};
    const QString path = QFile::decodeName(folder) + QStringLiteral("/text");
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Exactly the modes the keeper asks for, whatever the umask.
    const bool written = fd >= 0 && ::fchmod(fd, 0600) == 0
        && ::chmod(folder.constData(), 0700) == 0 && writeAll(fd, bytes);
    const bool closed = fd >= 0 && ::close(fd) == 0;
    if (written && closed)
        return path;
    remove(path);
    return {};
}

void KeeperFile::remove(const QString &path)
{
    ::unlink(QFile::encodeName(path).constData());
    ::rmdir(QFile::encodeName(QFileInfo(path).absolutePath()).constData());
}

std::optional<KeeperFile::Handed> KeeperFile::take(int argc, char *argv[], QString *error)
{
    const auto refuse = [error](const QString &why) {
        *error = QLatin1String(option) + QStringLiteral(": ") + why;
        return std::nullopt;
    };
    if (argc != 4 || qstrcmp(argv[1], option) != 0)
        return refuse(QStringLiteral("usage: FILE SINCE"));
    bool ok = false;
    const quint32 since = QByteArray(argv[3]).toUInt(&ok);
    if (!ok)
        return refuse(QStringLiteral("SINCE is not a time: ") + QString::fromLocal8Bit(argv[3]));

    const QString path = QFile::decodeName(argv[2]);
    const QFileInfo folder(QFileInfo(path).absolutePath());
    const QByteArray folderName = QFile::encodeName(folder.absoluteFilePath());
    struct stat info;
    if (QDir::cleanPath(folder.absolutePath()) != QDir::cleanPath(QDir::tempPath())
        || !folder.fileName().startsWith(folderPrefix)
        || ::lstat(folderName.constData(), &info) != 0 || !isPrivate(info, S_IFDIR, 0700))
        return refuse(path + QStringLiteral(": not in a private folder of ours"));

    // Opened without following a link and without waiting on a FIFO, then judged by what was
    // opened: nothing can be swapped in between.
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    std::optional<QByteArray> text;
    if (fd >= 0 && ::fstat(fd, &info) == 0 && isPrivate(info, S_IFREG, 0600) && info.st_nlink == 1
        && info.st_size <= maxBytes)
        text = readAll(fd, info.st_size);
    if (fd >= 0)
        ::close(fd);
    if (!text)
        return refuse(path + QStringLiteral(": not a private file of ours"));
    remove(path);
    return Handed{*text, since};
}
