// A stand-in for the makers' service on 127.0.0.1 for the benchmarks: answers every poll with
// no news and every report with ok. Prints its address and certificate on the first line, then
// one line per request.
#include "FeedServer.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    FeedServer server;
    if (!server.start(false))
        return 1;
    server.routes[QStringLiteral("/api/status.php")] = {200, R"({"mid": 0, "msg": ""})"};
    server.routes[QStringLiteral("/api/report.php")] = {200, R"({"ok": true})"};
    std::printf("%s %s\n", qPrintable(server.url(QString()).toString()),
        qPrintable(server.certificatePath()));
    std::fflush(stdout);

    qsizetype printed = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (; printed < server.requests.size(); ++printed)
            std::printf("request %s\n", qPrintable(server.requests.at(printed)));
        std::fflush(stdout);
    });
    poll.start(100);
    return QCoreApplication::exec();
}
