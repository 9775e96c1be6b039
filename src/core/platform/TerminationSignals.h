#pragma once

class QCoreApplication;

// Logout, Ctrl+C in a terminal or a closed terminal end the process with a signal. Caught, they
// end the event loop the ordinary way instead, so that what runs at quit still runs: above all,
// handing the last clean copy over, which X11 would otherwise lose with us.
namespace TerminationSignals {

// SIGTERM, SIGINT and SIGHUP quit `app`; a second one while quitting ends the process at once.
void quitOnSignals(QCoreApplication *app);

} // namespace TerminationSignals
