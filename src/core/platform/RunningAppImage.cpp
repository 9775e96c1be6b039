#include "platform/RunningAppImage.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace RunningAppImage {

QString path()
{
    return path(qEnvironmentVariable("APPIMAGE"), qEnvironmentVariable("APPDIR"),
        QCoreApplication::applicationFilePath());
}

QString path(const QString &appImage, const QString &appDir, const QString &binary)
{
    const QFileInfo image(appImage);
    if (appImage.isEmpty() || !image.isAbsolute() || !image.isFile() || appDir.isEmpty())
        return {};
    // Links resolved on both sides: a binary reached through a link elsewhere is not inside.
    const QString mount = QFileInfo(appDir).canonicalFilePath();
    const QString running = QFileInfo(binary).canonicalFilePath();
    if (mount.isEmpty() || mount == QLatin1String("/") || running.isEmpty())
        return {};
    if (!running.startsWith(mount + QLatin1Char('/')))
        return {};
    return appImage;
}

} // namespace RunningAppImage
