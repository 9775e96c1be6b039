#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int caught[] = {SIGTERM, SIGINT, SIGHUP};
int wakeFds[2] = {-1, -1};

// Only a write may happen in a signal handler; the event loop reads it.
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFds[1], &byte, 1);
}

} // namespace

namespace TerminationSignals {

void quitOnSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeFds) != 0)
        return;
    auto *notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeFds[0], &byte, 1);
        notifier->setEnabled(false);
        for (const int signal : caught)
            std::signal(signal, SIG_DFL);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : caught)
        sigaction(signal, &action, nullptr);
}

} // namespace TerminationSignals
