#pragma once

#include <QString>

// The AppImage this process was started from, when it was.
//
// An AppImage's runtime sets $APPIMAGE and $APPDIR for the program it starts, and every program
// that one starts in turn inherits them: a file manager or a launcher packaged as an AppImage
// passes its own values on. So $APPIMAGE is trusted only when the running binary lies inside
// $APPDIR, the image's own mount; otherwise the login item would start, and an update would
// overwrite, another program.
namespace RunningAppImage {

// From the environment and this process's binary; empty when not started from an AppImage.
QString path();

// The same decision for given values, so that it can be checked without an AppImage.
QString path(const QString &appImage, const QString &appDir, const QString &binary);

} // namespace RunningAppImage
