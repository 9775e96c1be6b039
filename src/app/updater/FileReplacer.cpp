#include "updater/FileReplacer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 chunkSize = 1024 * 1024;

// An AppImage that appears for the first time must still be runnable.
constexpr mode_t newFileMode = 0755;

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// The rename itself lives in the directory: syncing it makes the new name survive a power cut.
void syncDirectory(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

namespace FileReplacer {

bool replace(const QString &target, const QString &source, const QByteArray &sha256, QString *error,
    const std::function<bool()> &beforeCommit)
{
    if (sha256.size() != 32)
        return fail(error, QStringLiteral("no SHA-256 to check %1 against").arg(source));
    // Everything that can fail without touching the disk is checked before the temporary
    // file exists, so an early failure has nothing to clean up.
    if (!QFileInfo(source).isFile())
        return fail(error, QStringLiteral("no source file %1").arg(source));
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));

    mode_t mode = newFileMode;
    struct stat existing;
    if (::stat(QFile::encodeName(target).constData(), &existing) == 0) {
        // Only the permission bits: set-user-ID and the like must never carry over to new
        // content.
        mode = existing.st_mode & 0777;
    } else if (errno != ENOENT) {
        return fail(error,
            QStringLiteral("cannot stat %1: %2")
                .arg(target, QString::fromLocal8Bit(strerror(errno))));
    }

    // QSaveFile writes beside the target and renames over it on commit. Without the direct
    // write fallback it fails, rather than write into the target itself, when it cannot
    // create a file beside it.
    QSaveFile out(target);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return fail(
            error, QStringLiteral("cannot write beside %1: %2").arg(target, out.errorString()));

    // From here on, an early return destroys `out` uncommitted, which removes the temporary file.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer;
    for (;;) {
        buffer = in.read(chunkSize);
        if (buffer.isEmpty())
            break;
        hash.addData(buffer);
        if (out.write(buffer) != buffer.size())
            return fail(
                error, QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    }
    if (in.error() != QFileDevice::NoError || !in.atEnd())
        return fail(error, QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));

    if (hash.result() != sha256)
        return fail(error, QStringLiteral("%1 is not the file that was checked").arg(source));

    if (!out.flush())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(target, out.errorString()));
    // fchmod on the descriptor is not subject to the umask, unlike the mode given at creation.
    const int fd = out.handle();
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        return fail(error,
            QStringLiteral("cannot finish %1: %2")
                .arg(target, QString::fromLocal8Bit(strerror(errno))));
    }

    if (beforeCommit && !beforeCommit()) {
        out.cancelWriting();
        out.commit(); // with the write cancelled, this only removes the temporary file
        return fail(error, QStringLiteral("replacement of %1 abandoned").arg(target));
    }

    if (!out.commit())
        return fail(error, QStringLiteral("cannot replace %1: %2").arg(target, out.errorString()));
    syncDirectory(QFileInfo(target).absolutePath());
    return true;
}

} // namespace FileReplacer
