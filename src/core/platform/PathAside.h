#pragma once

#include <QString>

class QLockFile;

// What sits where a file of ours belongs and is not what it should be (a folder, a FIFO, a link,
// a file that does not parse) is moved out of the way, never deleted and never waited on, so that
// the application goes on and a person can still look at what was there.
namespace PathAside {

// Moves whatever is at `path` (a link itself, never what it points to) to "<path>.corrupt", or
// to "<path>.N.corrupt" when that name is taken. False when it could not be moved.
bool move(const QString &path);

// Takes `lock`, whose file is `path`, waiting at most `waitMs`. QLockFile reads a lock it finds
// in its way, and would wait there on a FIFO; a lock that is not a file at all, a folder say, is
// released by no one. Either is moved aside first, and so is the helper lock QLockFile takes to
// clear a stale one.
bool tryLock(QLockFile &lock, const QString &path, int waitMs);

} // namespace PathAside
