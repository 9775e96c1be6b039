#include "clipboard/KeeperFile.h"
#include "clipboard/SystemPasteboard.h"
#include "kit/Symbols.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "shell/AppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

// Answers --version and --help on the terminal, before any display is opened, so that both work
// over ssh, in scripts and in packaging checks. True when the process should end there.
bool answeredFromTerminal(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("OrvaneTavo %s\n", ORVANE_VERSION);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("Usage : orvanetavo [--version] [--help]\n\n"
                        "OrvaneTavo garde le presse-papiers libre de mise en forme : quand un "
                        "programme copie du texte\nstylé, il remet le texte brut fourni avec.\n\n"
                        "  --version  affiche la version et quitte\n"
                        "  --help     affiche cette aide et quitte\n");
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // The serve-only mode that keeps our last clean copy on the clipboard after we quit. It
    // takes only the file a quitting copy left, before anything touches the clipboard.
    if (argc > 1 && qstrcmp(argv[1], KeeperFile::option) == 0) {
        QString error;
        const std::optional<KeeperFile::Handed> handed = KeeperFile::take(argc, argv, &error);
        if (!handed) {
            std::fprintf(stderr, "orvanetavo: %s\n", qUtf8Printable(error));
            return 2;
        }
        return SystemPasteboard::runKeeper(argc, argv, *handed);
    }
    if (answeredFromTerminal(argc, argv))
        return 0;
    // The window stays on X11 wherever there is one (XWayland included), where its tray icon and
    // window placement behave the same on every desktop; the clipboard chooses on its own. A
    // Wayland session without XWayland gets a native window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsSet("DISPLAY") ? "xcb" : "wayland");

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

    // A second launch brings the running copy forward and ends there.
    SingleInstance instance;
    if (!instance.claim())
        return 0;

    TerminationSignals::quitOnSignals(&app);
    AppDelegate delegate;
    delegate.setActivationPolicy(AppDelegate::menuBarMode()
            ? AppDelegate::ActivationPolicy::Accessory
            : AppDelegate::ActivationPolicy::Regular);
    QObject::connect(
        &instance, &SingleInstance::activationRequested, &delegate, &AppDelegate::showMainWindow);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
