#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// What the service keeps. Times are milliseconds since the epoch, UTC, so that both stores
// compare and sort them the same way.

struct ProblemReport
{
    qint64 id = 0;
    qint64 receivedAt = 0;
    QString device;
    QString version;
    QString os;
    QString text;
    QString email; // empty when the user gave none
    QString address;
};

struct CrashRecord
{
    qint64 id = 0;
    qint64 receivedAt = 0;
    QString device;
    QString kind;
    QString message;
    QString stack;
    QString version;
    QString os;
    QString address;
};

struct MakerReply
{
    qint64 id = 0;
    qint64 createdAt = 0;
    QString device;
    QString text;
    qint64 offeredAt = 0; // 0 while the device has never been offered it
};

// The answer to one poll: the reply the device should see now, or id 0 and no text.
struct PollAnswer
{
    qint64 mid = 0;
    QString msg;
};

// Crashes that share a message, as the makers read them: how often, when last, on what.
struct CrashGroup
{
    QString message;
    qint64 count = 0;
    qint64 lastSeen = 0;
    QStringList kinds;
    QStringList versions;
    QStringList systems;
};
