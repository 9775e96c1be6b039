#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The crash reports that the system itself keeps about OrvaneTavo: systemd-coredump's records
// in the journal, and apport's .crash files where Ubuntu keeps them. Each source lists what is
// ours with its date first; a report's text is read only when its date makes it worth sending,
// and records of other programs are never read at all.
namespace SystemCrashReports {

struct Report
{
    QDateTime date;
    // Its text, at most the first 256 KiB of it, or nothing when it can't be read as UTF-8.
    std::function<std::optional<QString>()> read;
};

// Nothing when the place can't be looked at (no journal, no folder).
using Listing = std::optional<QList<Report>>;
// Lists the reports of one place, given the date past which they are of interest (invalid
// for the distant past); a source may leave older ones out or not.
using Source = std::function<Listing(const QDateTime &after)>;

// systemd-coredump's records about this user's crashes of our executable, from the system's
// journal, or from the given journal files.
Listing fromJournal(const QDateTime &after, const QStringList &files = {});
// apport's .crash files about our executable in `folder`, owned by this user.
Listing fromApport(const QString &folder);

// Whether an executable's path is ours: its file name begins with "orvanetavo", or it is the
// AppImage we run from.
bool isOurExecutable(const QString &path);
// apport names a report after the executable's path, '/' turned to '_', then ".<uid>.crash".
bool isOurApportName(const QString &fileName);

// The first non-empty line, in file order, that holds "Exception" or "Termination"; else
// "Rapport système Linux".
QString messageOf(const QString &text);
// The first 18000 characters, never cutting one.
QString stackOf(const QString &text);

} // namespace SystemCrashReports
