#include "platform/PathAside.h"

#include <QFile>
#include <QLockFile>
#include <QLoggingCategory>

#include <sys/stat.h>

namespace {

Q_LOGGING_CATEGORY(lcAside, "orvane.files")

bool exists(const QString &path, struct stat *info)
{
    return ::lstat(QFile::encodeName(path).constData(), info) == 0;
}

} // namespace

namespace PathAside {

bool move(const QString &path)
{
    const QString suffix = QStringLiteral(".corrupt");
    QString target = path + suffix;
    // lstat, not exists(): a dangling link set aside earlier still takes its name.
    struct stat info;
    for (int n = 1; exists(target, &info); ++n)
        target = path + QLatin1Char('.') + QString::number(n) + suffix;
    // rename() moves a link itself, never what it points to.
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) == 0) {
        qCWarning(lcAside) << "unusable" << path << "moved to" << target;
        return true;
    }
    qCWarning(lcAside) << "unusable" << path << "could not be moved aside";
    return false;
}

bool tryLock(QLockFile &lock, const QString &path, int waitMs)
{
    for (const QString &name : {path, path + QStringLiteral(".rmlock")}) {
        struct stat info;
        if (exists(name, &info) && !S_ISREG(info.st_mode))
            move(name);
    }
    return lock.tryLock(waitMs);
}

} // namespace PathAside
