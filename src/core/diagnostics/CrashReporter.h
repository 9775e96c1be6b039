#pragma once

#include "diagnostics/SystemCrashReports.h"

#include <QList>
#include <QString>

#include <functional>

// Crash capture and crash upload. A fatal signal or an uncaught C++ exception leaves one short
// record in $XDG_DATA_HOME/OrvaneTavo/pending-crash.txt, and the process still dies the way it
// would have, so the system's own crash collector sees the same death. The next start sends
// that record to the makers once, forwards what the system itself kept about our crashes, and
// only then puts the handlers in place. Nothing of this is ever shown to the user.
//
// Record: the header ("Signal 11", or "Exception: <type> : <what()>"), "\n---\n", then up to
// 30 frames, innermost first, joined by line feeds, with no line feed after the last.
namespace CrashReporter {

// At launch, on the main thread, once: sendPendingCrash, sendSystemCrashReports, then the
// terminate handler and the handlers of SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE and SIGTRAP.
void install();

// Sends `message` with up to 15 frames of the calling thread as a record of kind "error". The
// program goes on; the pending file is not touched.
void reportError(const QString &message);

// One fire-and-forget upload to /api/crash.php: the reply is never read and the request
// deletes itself once it ends. Takes the fields as they stand.
void send(const QString &kind, const QString &message, const QString &stack);

// The pending record's path; its folder is made on the way.
QString crashFile();

// Sends the record the last run left and removes it first, so that it is offered only once.
// A file that is not UTF-8 stays for the next start.
void sendPendingCrash();

// Forwards each system crash report about us that is newer than "OTLastCrashScan", then moves
// the mark to the newest one sent.
void sendSystemCrashReports();
// The same run over given sources; the system's are the journal and /var/crash.
void sendSystemCrashReports(const QList<SystemCrashReports::Source> &sources);

} // namespace CrashReporter
