#pragma once

#include <QString>
#include <QTextStream>

class ServiceStore;

// The makers' side of the service: reading what came in and leaving replies. Each prints to
// the given streams and answers a process exit code. Human output is an aligned table; json
// prints one JSON object per line, for scripts.
namespace ServiceCommands {

int reports(
    ServiceStore &store, const QString &device, bool json, QTextStream &out, QTextStream &err);
int crashes(ServiceStore &store, bool json, QTextStream &out, QTextStream &err);
int replies(
    ServiceStore &store, const QString &device, bool json, QTextStream &out, QTextStream &err);
int reply(ServiceStore &store, const QString &device, const QString &text, QTextStream &out,
    QTextStream &err);
// Everything, oldest first, one JSON object per line with a "type" member.
int exportAll(ServiceStore &store, QTextStream &out, QTextStream &err);

} // namespace ServiceCommands
