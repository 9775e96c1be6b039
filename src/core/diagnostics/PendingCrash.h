#pragma once

#include <QList>
#include <QString>

// The crash records waiting to reach the makers. The handlers write a new record to the pending
// file; at the next start it is set aside under a name that counts the starts that sent it
// ("pending-crash.txt.try1"), so that a crash during its upload neither loses it nor sends it
// for ever. A set-aside record goes again at each later start until the service acknowledges
// it, and is dropped after `maxStarts` starts.
namespace PendingCrash {

constexpr int maxStarts = 3;
// A record is a header and 30 frames: anything beyond this is not one, and is cut.
constexpr qint64 sizeCap = 64 * 1024;

struct Record
{
    QString message;
    QString stack;
    // Where the record now lies, removed once the service acknowledged it; empty for what is
    // not kept.
    QString file;
};

// Removes the temporaries ("<record>.<thread>.tmp") that handlers dying on two threads at once
// left behind. Called before the handlers are in place, so that none is being written.
void removeLeftovers(const QString &recordPath);

// Moves every set-aside record one start on, dropping those sent `maxStarts` times, sets a new
// record aside, and gives the records to send now, oldest first. Reads at most `sizeCap` bytes
// of each, and only regular files; a record that is not UTF-8 is not sent but kept aside for
// the next starts like any other. May block on the file system: not for the window's thread.
QList<Record> take(const QString &recordPath);

} // namespace PendingCrash
