#include "platform/SystemLog.h"

#include <cstdio>
#include <syslog.h>

namespace SystemLog {

void write(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    openlog("OrvaneTavo", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "%s", bytes.constData());
    closelog();
    std::fprintf(stderr, "%s\n", bytes.constData());
}

} // namespace SystemLog
