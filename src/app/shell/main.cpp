#include "clipboard/XcbPasteboard.h"
#include "kit/Symbols.h"
#include "shell/AppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    // The serve-only mode that keeps our last clean copy on the clipboard after we quit.
    if (argc > 1 && qstrcmp(argv[1], "--keep-clipboard") == 0)
        return XcbPasteboard::runKeeper(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("OrvaneTavo"));
    QApplication::setOrganizationName(QStringLiteral("OrvaneTavo"));
    QApplication::setApplicationVersion(QStringLiteral(ORVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("orvanetavo"));
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
