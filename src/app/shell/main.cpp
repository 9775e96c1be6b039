#include "kit/Symbols.h"
#include "shell/AppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Answered before any display is opened, so that scripts and package checks can ask.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("OrvaneTavo %s\n", ORVANE_VERSION);
            return 0;
        }
    }
    // The clipboard watcher speaks X11: started from the menu of a Wayland session, the
    // application goes through XWayland as scripts/run.sh makes it do.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvaneTavo"));
    QApplication::setOrganizationName(QStringLiteral("OrvaneTavo"));
    QApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    // Wayland compositors and portals find the installed desktop entry, and with it the icon, by
    // this id.
    QApplication::setDesktopFileName(QStringLiteral(ORVANE_APP_ID));
    QApplication::setWindowIcon(Symbols::applicationIcon());
    // Closing the window does not end the application by itself: in tray mode it keeps running.
    QApplication::setQuitOnLastWindowClosed(false);

    AppDelegate delegate;
    delegate.setActivationPolicy(AppDelegate::menuBarMode()
            ? AppDelegate::ActivationPolicy::Accessory
            : AppDelegate::ActivationPolicy::Regular);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
