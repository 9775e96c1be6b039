#include "diagnostics/BoundedRead.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BoundedRead {

std::optional<QByteArray> head(const QString &path, qint64 limit)
{
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; O_NOFOLLOW
    // refuses a link, wherever it leads.
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        bytes = QByteArray(qsizetype(qMin<qint64>(limit, info.st_size)), Qt::Uninitialized);
        qsizetype size = 0;
        while (size < bytes->size()) {
            const ssize_t n = ::read(fd, bytes->data() + size, size_t(bytes->size() - size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                bytes.reset();
                break;
            }
            if (n == 0)
                break;
            size += n;
        }
        if (bytes)
            bytes->truncate(size);
    }
    ::close(fd);
    return bytes;
}

std::optional<QString> utf8(const QByteArray &bytes, bool cut)
{
    // A stateful decoder keeps an incomplete last character aside instead of calling it an
    // error; a stateless one reports it.
    QStringDecoder decoder(QStringDecoder::Utf8,
        cut ? QStringDecoder::Flag::Default : QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<QString> text(const QString &path, qint64 limit)
{
    const std::optional<QByteArray> bytes = head(path, limit);
    if (!bytes)
        return std::nullopt;
    return utf8(*bytes, bytes->size() == limit);
}

} // namespace BoundedRead
