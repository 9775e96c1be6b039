// The engine's own costs on the real X11 clipboard: an idle tick, and the tick that cleans a
// very large styled copy. Needs an X display (bench/run.sh starts one).
#include "clipboard/TavoEngine.h"
#include "clipboard/XcbPasteboard.h"
#include "settings/TavoSettings.h"

#include "Budget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdio>

class EngineBench
{
public:
    explicit EngineBench(TavoEngine &engine)
        : m_engine(engine)
    {
    }
    void tick() { m_engine.tick(); }
    // The bench times the tick itself: the engine's own ticks, on its timer and after change
    // notices, would clean copies before the bench looks.
    void holdTicks()
    {
        m_engine.m_timer->stop();
        m_engine.m_settle.reset();
    }

private:
    TavoEngine &m_engine;
};

namespace {

Budget budget;

// The sequence number of a fresh request: the difference between two of them is the number
// of requests sent in between, plus one.
unsigned requestSequence(xcb_connection_t *connection)
{
    const xcb_get_input_focus_cookie_t cookie = xcb_get_input_focus(connection);
    free(xcb_get_input_focus_reply(connection, cookie, nullptr));
    return cookie.sequence;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TavoSettings::setEnabled(true);
    XcbPasteboard pasteboard;
    if (!pasteboard.isConnected()) {
        std::fprintf(stderr, "EngineBench needs an X11 display\n");
        return 2;
    }
    TavoEngine engine(pasteboard);
    EngineBench bench(engine);
    bench.holdTicks();

    // Idle ticks: nothing changed on the clipboard.
    constexpr int idleTicks = 5'000'000;
    const unsigned before = requestSequence(pasteboard.connection());
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < idleTicks; ++i)
        bench.tick();
    const double idleNs = double(timer.nsecsElapsed()) / idleTicks;
    const unsigned requests = requestSequence(pasteboard.connection()) - before - 1;
    budget.report("idle tick", idleNs / 1000.0, "us", 1.0);
    budget.report("X11 requests made by 5e6 idle ticks", requests, "", 1);

    // A 5 MiB HTML copy whose plain text is 1 MiB, owned by another process.
    QTemporaryDir dir;
    QByteArray text;
    while (text.size() < (1 << 20))
        text += "Ligne de texte avec des accents: \xc3\xa9\xc3\xa8\xc3\xa0\t"
            + QByteArray::number(text.size()) + '\n';
    text.truncate(1 << 20);
    text.chop(1);
    text.append('\n');
    QByteArray html = "<html><body>";
    while (html.size() < 5 * (1 << 20))
        html += "<p style=\"font-family:Georgia;color:#333\"><b>Ligne</b> de texte</p>\n";
    QFile textFile(dir.filePath("big.txt")), htmlFile(dir.filePath("big.html"));
    if (!textFile.open(QIODevice::WriteOnly) || !htmlFile.open(QIODevice::WriteOnly))
        return 2;
    textFile.write(text);
    htmlFile.write(html);
    textFile.close();
    htmlFile.close();

    // Times the one tick that cleans a copy by another process; true when it cleaned `expected`.
    const auto timeCleaning
        = [&](const QStringList &ownerArgs, const QByteArray &expected, double *ms) {
              QProcess owner;
              owner.start(QStringLiteral(TAVO_CLIPBOARD_OWNER), ownerArgs);
              if (!owner.waitForReadyRead(30000))
                  return false;
              // Let the change notice arrive first.
              const qint64 seen = pasteboard.changeCount();
              for (int i = 0; i < 400 && pasteboard.changeCount() == seen; ++i) {
                  QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                  QThread::msleep(5);
              }
              const qint64 countBefore = engine.cleanedCount();
              QElapsedTimer cleaning;
              cleaning.start();
              bench.tick();
              *ms = double(cleaning.nsecsElapsed()) / 1e6;
              owner.kill();
              owner.waitForFinished();
              return engine.cleanedCount() == countBefore + 1
                  && pasteboard.offer().text() == QString::fromUtf8(expected);
          };

    double ms = 0;
    bool exact = timeCleaning({QStringLiteral("text/html=@") + htmlFile.fileName(),
                                  QStringLiteral("text/plain=@") + textFile.fileName()},
        text, &ms);
    budget.report("tick cleaning a 5 MiB HTML / 1 MiB text copy", ms, "ms", 200);
    budget.check("  text kept exactly", exact);

    exact = timeCleaning({QStringLiteral("--targets=60000"), QStringLiteral("text/html=<b>x</b>"),
                             QStringLiteral("text/plain=x")},
        "x", &ms);
    budget.report("tick cleaning a copy with 60,000 targets", ms, "ms", 200);
    budget.check("  cleaned", exact);
    return budget.exitCode();
}
