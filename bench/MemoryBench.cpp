// Private memory of a long-running orvanetavo: the real binary cleans copies made by another
// program in each display mode, and the application's service poll runs over and over in this
// process. Each figure is the growth after a warm-up, which a program that runs all day must
// not have. bench/run.sh provides the X display, the tray and the loopback service.
//   MemoryBench [--copies=N] [--step=N] [--polls=N] [--status-notifier] [--binary=PATH]
// --step prints the memory every N copies; --status-notifier shows the tray icon over D-Bus
// (a private bus and panel) instead of the XEmbed tray, tray mode only; --binary measures
// another build of the application.
#include "AppHome.h"
#include "Budget.h"
#include "StatusNotifierPanel.h"

#include "feedback/MessageInbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <malloc.h>

namespace {

Budget budget;
QString binary = QStringLiteral(ORVANETAVO_BINARY);
constexpr qint64 warmUpCopies = 500;
constexpr int warmUpPolls = 10;
constexpr double growthBudgetKiB = 256;

struct Memory
{
    qint64 rss = -1;
    qint64 anonymous = -1;
};

// Private memory is Pss_Anon, or Private_Dirty on kernels without it.
Memory memoryOf(qint64 pid)
{
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    Memory memory;
    qint64 dirty = -1;
    if (!rollup.open(QIODevice::ReadOnly))
        return memory;
    for (const QByteArray &line : rollup.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        if (fields[0] == "Rss:")
            memory.rss = fields[1].toLongLong();
        else if (fields[0] == "Pss_Anon:")
            memory.anonymous = fields[1].toLongLong();
        else if (fields[0] == "Private_Dirty:")
            dirty = fields[1].toLongLong();
    }
    if (memory.anonymous < 0)
        memory.anonymous = dirty;
    return memory;
}

void wait(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

// Launches the application, has another program copy styled text until `copies` were cleaned,
// and reports the growth of private memory after the first `warmUpCopies`.
void cleanCopies(const char *label, bool tray, const QString &bus, qint64 copies, qint64 step)
{
    AppHome home;
    home.writeSettings({{"OTOnboarded", true}, {"OTMenuBarMode", tray}});
    QProcessEnvironment env = home.environment();
    if (!bus.isEmpty())
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
    QProcess app;
    app.setProcessEnvironment(env);
    app.setStandardErrorFile(QProcess::nullDevice());
    app.start(binary, {});
    wait(2000);

    // A fresh copy every 50 ms: time enough for each to be cleaned before the next.
    QProcess owner;
    env.insert(QStringLiteral("ORVANE_OWNER_TIMEOUT_MS"), QString::number(copies * 1000));
    owner.setProcessEnvironment(env);
    owner.start(QStringLiteral(TAVO_CLIPBOARD_OWNER),
        {"--reown-ms=50", "text/html=<p style=\"color:red\">texte</p>", "text/plain=texte"});
    Memory warm;
    qint64 cleaned = 0;
    qint64 nextRow = 0;
    QDeadlineTimer deadline(copies * 200 + 30000);
    while (cleaned < copies && !deadline.hasExpired() && app.state() == QProcess::Running) {
        wait(50);
        cleaned = home.settings().value("OTCleanedCount").toInteger();
        if (warm.anonymous < 0 && cleaned >= warmUpCopies)
            warm = memoryOf(app.processId());
        if (step > 0 && cleaned >= nextRow) {
            const Memory now = memoryOf(app.processId());
            std::printf("  %6lld cleaned  Rss %6lld KiB  private %6lld KiB\n", cleaned, now.rss,
                now.anonymous);
            nextRow = (cleaned / step + 1) * step;
        }
    }
    const Memory last = memoryOf(app.processId());
    owner.kill();
    owner.waitForFinished();
    app.terminate();
    app.waitForFinished(5000);
    budget.check(qPrintable(QStringLiteral("  %1 copies cleaned").arg(copies)), cleaned >= copies);
    budget.report(label, double(last.anonymous - warm.anonymous), "KiB", growthBudgetKiB, 0);
}

// Bytes the process's allocator has handed out and not had back, all threads.
qint64 heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

// The application's poll of the makers' service, over TLS to the loopback service, repeated
// from the event loop as the application's timer does, so that replies are deleted as there.
// Measured in this process, where the allocator's own figure is exact: private memory moves
// here by whole pages of the network thread's arena.
void pollService(int polls)
{
    MessageInbox inbox;
    int answered = 0;
    Memory warm;
    qint64 warmHeap = 0;
    QObject::connect(&inbox, &MessageInbox::checked, &inbox, [&] {
        // Qt keeps a finished connection, and the TLS sessions the server hands it, for two
        // minutes: polls an hour apart each find none, as they do after this.
        if (auto *network = QCoreApplication::instance()->findChild<QNetworkAccessManager *>())
            network->clearConnectionCache();
        if (++answered == warmUpPolls) {
            warm = memoryOf(QCoreApplication::applicationPid());
            warmHeap = heapInUse();
        }
        if (answered == polls)
            QCoreApplication::quit();
        else
            QTimer::singleShot(0, &inbox, &MessageInbox::checkWithServer);
    });
    QTimer::singleShot(0, &inbox, &MessageInbox::checkWithServer);
    QTimer::singleShot(polls * 5000, &inbox, &QCoreApplication::quit);
    QCoreApplication::exec();
    const Memory last = memoryOf(QCoreApplication::applicationPid());
    budget.check(qPrintable(QStringLiteral("  %1 polls answered").arg(polls)), answered == polls);
    std::printf("  private memory growth after %d polls: %lld KiB\n", warmUpPolls,
        last.anonymous - warm.anonymous);
    budget.report("heap growth, service polls after 10", double(heapInUse() - warmHeap) / 1024,
        "KiB", growthBudgetKiB, 0);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // Each row as it comes, also into a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qint64 copies = 1000;
    qint64 step = 0;
    int polls = 100;
    bool statusNotifier = false;
    for (const QString &arg : application.arguments().mid(1)) {
        if (arg.startsWith(u"--copies="))
            copies = arg.mid(9).toLongLong();
        else if (arg.startsWith(u"--step="))
            step = arg.mid(7).toLongLong();
        else if (arg.startsWith(u"--polls="))
            polls = arg.mid(8).toInt();
        else if (arg.startsWith(u"--binary="))
            binary = arg.mid(9);
        else if (arg == u"--status-notifier")
            statusNotifier = true;
        else
            return 2;
    }

    if (statusNotifier) {
        StatusNotifierPanel panel;
        const QString bus = panel.start();
        budget.check("  panel on a private bus", !bus.isEmpty());
        cleanCopies("private memory growth, tray (D-Bus) after 500", true, bus, copies, step);
        budget.check("  icon registered with the panel", !panel.items.isEmpty());
    } else if (copies > 0) {
        cleanCopies("private memory growth, window after 500", false, {}, copies, step);
        cleanCopies("private memory growth, tray after 500", true, {}, copies, step);
    }
    if (polls > 0)
        pollService(polls);
    return budget.exitCode();
}
