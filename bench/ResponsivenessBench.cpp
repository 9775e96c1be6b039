// The window stays alive while another program holds the clipboard and never answers: the real
// orvanetavo binary, an owner that hangs on every request, and for 10 s clicks on the round
// button, each timed from the click to the stored switch changing, between pings as a window
// manager sends them to see whether the window still answers.
// With ORVANE_BENCH_WAYLAND_DISPLAY naming the socket of a compositor that offers data control
// (an absolute path; the window stays on DISPLAY), the clipboard is the native one, and a new
// hostile copy comes every second, in turn one that never writes, one that writes without end
// and one that closes at once.
#include "Budget.h"
#include "TopLevelWindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return result;
}

// Milliseconds until the window answered a _NET_WM_PING; 1e9 when it did not within 2 s.
double ping(xcb_connection_t *c, xcb_window_t root, xcb_window_t window, uint32_t stamp)
{
    static const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
    static const xcb_atom_t pingAtom = atom(c, "_NET_WM_PING");
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = protocols;
    message.data.data32[0] = pingAtom;
    message.data.data32[1] = stamp;
    message.data.data32[2] = window;
    QElapsedTimer timer;
    timer.start();
    xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
    xcb_flush(c);
    while (timer.elapsed() < 2000) {
        xcb_generic_event_t *event = xcb_poll_for_event(c);
        if (!event) {
            QThread::usleep(200);
            continue;
        }
        const auto *reply = reinterpret_cast<const xcb_client_message_event_t *>(event);
        const bool answered = (event->response_type & 0x7f) == XCB_CLIENT_MESSAGE
            && reply->window == root && reply->data.data32[0] == pingAtom
            && reply->data.data32[1] == stamp;
        free(event);
        if (answered)
            return double(timer.nsecsElapsed()) / 1e6;
    }
    return 1e9;
}

QJsonValue enabledIn(const QString &settings)
{
    QFile file(settings);
    return file.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("OTEnabled"))
        : QJsonValue();
}

} // namespace

int main()
{
    Budget budget;
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "ResponsivenessBench needs an X display\n");
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    // Answers to pings go to the root window, where a window manager would read them.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);

    QTemporaryDir home;
    QDir(home.path()).mkpath(QStringLiteral(".config/OrvaneTavo"));
    QDir(home.path()).mkpath(QStringLiteral("run"));
    const QString settings = home.filePath(QStringLiteral(".config/OrvaneTavo/OrvaneTavo.json"));
    QFile file(settings);
    if (file.open(QIODevice::WriteOnly))
        file.write(R"({"OTOnboarded": true})");
    file.close();
    const QString wayland = qEnvironmentVariable("ORVANE_BENCH_WAYLAND_DISPLAY");
    const bool native = !wayland.isEmpty();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (native)
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), wayland);
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("run")));
    QProcess app;
    app.setProcessEnvironment(env);
    app.setStandardErrorFile(QProcess::nullDevice());
    app.start(QStringLiteral(ORVANETAVO_BINARY), {});
    QElapsedTimer started;
    started.start();
    xcb_window_t window = XCB_WINDOW_NONE;
    while (!window && started.elapsed() < 10000) {
        QThread::msleep(20);
        window = findWindow(c, root);
    }
    if (!window) {
        std::fprintf(stderr, "ResponsivenessBench: the window never showed\n");
        return 2;
    }
    QThread::msleep(500);

    // The owner answers nothing at all: every read of ours waits out its bound.
    const QStringList hostile{
        QStringLiteral("--hang"), QStringLiteral("--endless"), QStringLiteral("--close")};
    QProcess owner;
    bool offered = true;
    env.insert(QStringLiteral("ORVANE_OWNER_TIMEOUT_MS"), QStringLiteral("15000"));
    owner.setProcessEnvironment(env);
    const auto copy = [&](int round) {
        owner.kill();
        owner.waitForFinished();
        owner.start(QString::fromUtf8(native ? TAVO_WAYLAND_COPIER : TAVO_CLIPBOARD_OWNER),
            {native ? hostile[round % hostile.size()] : QStringLiteral("--hang=all"),
                QStringLiteral("text/html=<b>gras</b>"), QStringLiteral("text/plain=gras")});
        owner.waitForReadyRead(5000);
        offered = offered && owner.readLine().startsWith("owned");
    };
    int round = 0;
    copy(round);
    QElapsedTimer copied;
    copied.start();

    // The round button sits in the middle of the window, below the name and the tagline.
    xcb_get_geometry_reply_t *geometry
        = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    const int buttonX = geometry ? geometry->width / 2 : 215;
    const int buttonY = geometry ? geometry->height - 500 + 328 : 328;
    free(geometry);

    // Pressed and released through the X server's test extension, as a mouse would.
    xcb_translate_coordinates_reply_t *where = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, root, int16_t(buttonX), int16_t(buttonY)), nullptr);
    if (where) {
        xcb_test_fake_input(
            c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, where->dst_x, where->dst_y, 0);
        free(where);
    }
    std::vector<double> clicks;
    std::vector<double> pings;
    uint32_t stamp = 0;
    QElapsedTimer span;
    span.start();
    while (span.elapsed() < 10000) {
        if (native && copied.elapsed() >= 1000) {
            copy(++round);
            copied.restart();
        }
        const QJsonValue before = enabledIn(settings);
        QElapsedTimer click;
        click.start();
        xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c);
        while (enabledIn(settings) == before && click.elapsed() < 2000)
            QThread::usleep(500);
        clicks.push_back(enabledIn(settings) == before ? 1e9 : double(click.nsecsElapsed()) / 1e6);
        for (int i = 0; i < 3; ++i) {
            pings.push_back(ping(c, root, window, ++stamp));
            QThread::msleep(100);
        }
    }
    owner.kill();
    owner.waitForFinished();
    app.kill();
    app.waitForFinished();
    xcb_disconnect(c);

    const QByteArray source = native ? "hostile copies" : "owner hung";
    std::sort(clicks.begin(), clicks.end());
    budget.report((source + ": click to switch changed, median").constData(),
        clicks[clicks.size() / 2], "ms", 100, 1);
    budget.report(
        (source + ": click to switch changed, worst").constData(), clicks.back(), "ms", 100, 1);
    std::sort(pings.begin(), pings.end());
    budget.report(
        (source + ": window's answer to a ping, worst").constData(), pings.back(), "ms", 100, 1);
    budget.check((source + ": every hostile copy offered").constData(), offered);
    std::printf("  (%zu clicks and %zu pings over 10 s, %d copies)\n", clicks.size(), pings.size(),
        round + 1);
    return budget.exitCode();
}
