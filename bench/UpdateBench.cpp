// Whether a large update keeps the window alive: a user-started check, then the install asked
// for from the window, of an AppImage of 1 GiB (ORVANE_UPDATE_BENCH_MIB), served over HTTPS on
// 127.0.0.1. The bytes go through the network stack, the download's hashing and the verified
// copy over the AppImage. A timer ticks every 5 ms on the window's thread; the longest gap
// between its ticks, from the check until the restart page, is how long the window froze.
#include "FeedServer.h"
#include "updater/UpdateVerifier.h"
#include "updater/Updater.h"
#include "updater/UpdaterWindow.h"

#include "Budget.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

using Page = UpdaterWindow::Page;

constexpr int tickMs = 5;
constexpr qint64 watchdogMs = 180000;

// Bytes that differ from block to block, so that a copy out of order or cut short is caught.
QByteArray package(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint64 state = 0x9e3779b97f4a7c15ULL;
    for (qint64 at = 0; at < size; at += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(bytes.data() + at, &state, size_t(qMin<qint64>(8, size - at)));
    }
    return bytes;
}

QByteArray signedFeed(
    const QUrl &packageUrl, const QByteArray &sha256, qint64 size, const QByteArray &secretKey)
{
    const QByteArray statement
        = UpdateVerifier::statement(UpdateFeed::PackageKind::AppImage, "1.3.0", size, sha256);
    QByteArray signature(crypto_sign_BYTES, 0);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
        reinterpret_cast<const unsigned char *>(statement.constData()), statement.size(),
        reinterpret_cast<const unsigned char *>(secretKey.constData()));
    const QJsonObject entry{{"url", packageUrl.toString()}, {"size", size},
        {"sha256", QString(sha256.toHex())}, {"signature", QString(signature.toBase64())}};
    return QJsonDocument(QJsonObject{{"version", "1.3.0"}, {"notes", "Des nouveautés."},
                             {"packages", QJsonObject{{"appimage", entry}}}})
        .toJson();
}

// CPU time of the calling thread: tells work on the window's thread from waiting.
double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Time the calling thread was ready to run but had no core: on a loaded machine, much of a pause.
double threadRunQueueMs()
{
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    return stat.readAll().split(' ').value(1).toDouble() / 1e6;
}

QByteArray fileSha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Budget budget;
    if (sodium_init() < 0)
        return 1;
    const qint64 size = qEnvironmentVariableIntValue("ORVANE_UPDATE_BENCH_MIB") > 0
        ? qEnvironmentVariableIntValue("ORVANE_UPDATE_BENCH_MIB") * qint64(1024 * 1024)
        : qint64(1024) * 1024 * 1024;

    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, 0);
    QByteArray secretKey(crypto_sign_SECRETKEYBYTES, 0);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
        reinterpret_cast<unsigned char *>(secretKey.data()));
    QTemporaryDir dir;
    const QString appImage = dir.filePath("OrvaneTavo.AppImage");
    {
        QFile old(appImage);
        if (!old.open(QIODevice::WriteOnly) || old.write("old AppImage") <= 0)
            return 1;
    }

    // The makers' server is another machine: on a thread of its own here, so that its work of
    // encrypting the package is not counted against the window.
    QThread serverThread;
    serverThread.start();
    QObject inServerThread;
    inServerThread.moveToThread(&serverThread);
    FeedServer *server = nullptr;
    const QByteArray bytes = package(size);
    const QByteArray sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    QMetaObject::invokeMethod(
        &inServerThread,
        [&] {
            server = new FeedServer;
            if (!server->start())
                return;
            server->routes["/OrvaneTavo.AppImage"] = {200, bytes};
            server->routes["/feed.json"]
                = {200, signedFeed(server->url("/OrvaneTavo.AppImage"), sha256, size, secretKey)};
        },
        Qt::BlockingQueuedConnection);
    const QUrl feedUrl = server->url("/feed.json");

    Updater updater(Updater::Config{.feedUrl = feedUrl,
        .publicKey = publicKey,
        .currentVersion = "1.2.0",
        .appImagePath = appImage,
        .downloadFolder = dir.filePath("downloads"),
        // Long enough for the whole package on a loaded machine: the 30 s of the application's
        // own configuration have been seen to end a 1 GiB download that was still running,
        // which is a matter of its own, not of the window's pauses.
        .timeoutMs = 600000});
    bool restartAsked = false;
    updater.restartInto = [&](const QString &) { restartAsked = true; };
    // Accepted from the window as soon as it is offered, as the user would.
    QObject::connect(&updater, &Updater::checkFinished, &updater, [&](bool available) {
        if (available && updater.window())
            Q_EMIT updater.window()->installRequested();
    });

    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    double lastCpu = threadCpuMs();
    double busyInLongestGap = 0;
    double lastQueued = threadRunQueueMs();
    double queuedInLongestGap = 0;
    qint64 total = -1;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(tickMs);
    QObject::connect(&ticker, &QTimer::timeout, &app, [&] {
        const qint64 now = clock.elapsed();
        const double cpu = threadCpuMs();
        const double queued = threadRunQueueMs();
        if (now - lastTick > longestGap) {
            longestGap = now - lastTick;
            busyInLongestGap = cpu - lastCpu;
            queuedInLongestGap = queued - lastQueued;
        }
        lastTick = now;
        lastCpu = cpu;
        lastQueued = queued;
        const Page page = updater.window() ? updater.window()->page() : Page::Checking;
        if (page == Page::ReadyToRestart || page == Page::Failure || page == Page::UpToDate
            || now > watchdogMs) {
            if (page == Page::ReadyToRestart)
                total = now;
            app.quit();
        }
    });
    // The user asks from a running application whose window, fonts and display connection are
    // already up: those first-use costs belong to start-up, not to the update.
    QLabel running("OrvaneTavo");
    running.show();
    QElapsedTimer settling;
    settling.start();
    while (settling.elapsed() < 300)
        app.processEvents(QEventLoop::AllEvents, 50);

    QTimer::singleShot(0, &app, [&] {
        clock.start();
        lastCpu = threadCpuMs();
        lastQueued = threadRunQueueMs();
        ticker.start();
        updater.checkForUpdates();
    });
    app.exec();
    ticker.stop();

    std::printf("%-48s %10.0f MiB\n", "package size", size / (1024.0 * 1024.0));
    budget.check("restart page reached", total >= 0);
    if (total >= 0) {
        budget.report(
            "longest pause of the window, check to restart", double(longestGap), "ms", 100, 0);
        // What the pause was made of: the rest is time the thread slept, in a system call.
        std::printf(
            "%-48s %10.0f ms\n", "  of which the window's thread was working", busyInLongestGap);
        std::printf("%-48s %10.0f ms\n", "  of which it waited for a core", queuedInLongestGap);
        std::printf("%-48s %10.1f s\n", "check, download and install, total", total / 1000.0);
        budget.check("AppImage is the signed package", fileSha256(appImage) == sha256);
        Q_EMIT updater.window()->restartRequested();
        budget.check("restart asked for into the new AppImage", restartAsked);
    }

    QMetaObject::invokeMethod(
        &inServerThread, [&] { delete server; }, Qt::BlockingQueuedConnection);
    serverThread.quit();
    serverThread.wait();
    return budget.exitCode();
}
