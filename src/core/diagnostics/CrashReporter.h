#pragma once

#include "diagnostics/SystemCrashReports.h"

#include <QList>
#include <QString>

#include <functional>

class QNetworkReply;

// Crash capture and crash upload. A fatal signal or an uncaught C++ exception leaves one short
// record in $XDG_DATA_HOME/OrvaneTavo/pending-crash.txt, and the process still dies the way it
// would have, so the system's own crash collector sees the same death. The next starts send
// that record to the makers until they acknowledge it, and forward once what the system itself
// kept about our crashes. Nothing of this is ever shown to the user.
//
// Record: the header ("Signal 11", or "Exception: <type> : <what()>"), "\n---\n", then up to
// 30 frames, innermost first, joined by line feeds, with no line feed after the last.
namespace CrashReporter {

// At launch, on the main thread, once: removes what an earlier crash left half-written, starts
// sendCrashes over the system's sources, then puts in place the terminate handler and the
// handlers of SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE and SIGTRAP.
void install();

// Sends `message` with up to 15 frames of the calling thread as a record of kind "error". The
// program goes on; the pending file is not touched.
void reportError(const QString &message);

// One upload to /api/crash.php, taking the fields as they stand. The reply deletes itself once
// it ends; null when the service's address is not usable.
QNetworkReply *send(const QString &kind, const QString &message, const QString &stack);

// The pending record's path; its folder is made on the way.
QString crashFile();

// Sends the records the last runs left (see PendingCrash) and each report in `sources` newer
// than "OTLastCrashScan", then moves the mark to the newest one sent. Everything is read on a
// worker thread, so that nothing at those paths can hold up the window; the uploads start from
// the calling thread's event loop, then `done` runs there.
void sendCrashes(
    const QList<SystemCrashReports::Source> &sources, const std::function<void()> &done = {});
// The system's sources: the journal and /var/crash.
QList<SystemCrashReports::Source> systemSources();

} // namespace CrashReporter
