// Owns the X11 CLIPBOARD the way a browser or a file manager does, for the end-to-end tests
// and the benchmarks.
//
//   tavo-clipboard-owner [--hang=data|all] [--die=data] [--targets=N] [--reown-ms=N]
//                        MIME=VALUE|MIME=@FILE ...
//
// Prints "owned" once the data is offered, then "lost <ms>" with the milliseconds it held the
// clipboard as soon as another client takes it, and exits. Exits 2 on bad arguments, 3 when
// nobody took the clipboard within ORVANE_OWNER_TIMEOUT_MS (default 30 s).
//
// The options make it the kind of owner a reader must survive: one that never answers requests
// for data (or any request), one that dies when asked for data, one with N more targets, and
// one that takes the clipboard again every N ms until the time-out (printing "reowned <times>").
#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

// Sees the requests of readers before Qt answers them.
struct Misbehaviour : QAbstractNativeEventFilter
{
    QString hang, die;
    xcb_connection_t *connection = nullptr;
    // TARGETS, then with extra targets the rest of what TARGETS is answered with from here: Qt
    // would ask the server for each name in turn.
    std::vector<xcb_atom_t> targets;

    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        const auto *request = static_cast<const xcb_selection_request_event_t *>(message);
        if ((request->response_type & 0x7f) != XCB_SELECTION_REQUEST)
            return false;
        const bool forData = request->target != targets.front();
        if (die == u"data" && forData)
            _exit(0);
        const bool hung = hang == u"all" || (hang == u"data" && forData);
        if (hung || forData || targets.size() == 1)
            return hung;
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor,
            request->property, XCB_ATOM_ATOM, 32, uint32_t(targets.size()), targets.data());
        const xcb_selection_notify_event_t notify{XCB_SELECTION_NOTIFY, 0, 0, request->time,
            request->requestor, request->selection, request->target, request->property};
        xcb_send_event(
            connection, 0, request->requestor, 0, reinterpret_cast<const char *>(&notify));
        xcb_flush(connection);
        return true;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    // Each line is read as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Misbehaviour misbehaviour;
    int reownMs = 0, extraTargets = 0;
    QList<std::pair<QString, QByteArray>> content;
    for (const QString &arg : app.arguments().mid(1)) {
        const qsizetype eq = arg.indexOf(u'=');
        const QString name = arg.left(eq), value = arg.mid(eq + 1);
        if (eq <= 0)
            return 2;
        if (name == u"--hang" || name == u"--die")
            (name == u"--hang" ? misbehaviour.hang : misbehaviour.die) = value;
        else if (name == u"--targets" || name == u"--reown-ms")
            (name == u"--targets" ? extraTargets : reownMs) = value.toInt();
        else if (name.startsWith(u"--"))
            return 2;
        else if (QFile file(value.mid(1)); !value.startsWith(u'@'))
            content.append({name, value.toUtf8()});
        else if (file.open(QIODevice::ReadOnly))
            content.append({name, file.readAll()});
        else
            return 2;
    }
    // A fresh copy of the same content each time, as a program copying in a loop makes.
    const auto copy = [&] {
        auto *data = new QMimeData;
        for (const auto &[name, bytes] : content)
            name == u"text/plain" ? data->setText(QString::fromUtf8(bytes))
                                  : data->setData(name, bytes);
        return data;
    };
    QMimeData *data = copy();

    auto *x11 = app.nativeInterface<QNativeInterface::QX11Application>();
    if (!x11)
        return 2;
    misbehaviour.connection = x11->connection();
    // TARGETS; with extra targets, the real formats first, then the extra ones; in one batch.
    QList<QByteArray> names{"TARGETS"};
    for (const QString &format : extraTargets > 0 ? data->formats() : QStringList{})
        names.append(format == u"text/plain" ? "UTF8_STRING" : format.toUtf8());
    for (int i = 0; i < extraTargets; ++i)
        names.append("application/x-tavo-" + QByteArray::number(i));
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const QByteArray &name : names)
        cookies.push_back(xcb_intern_atom(x11->connection(), 0, name.size(), name.constData()));
    for (const xcb_intern_atom_cookie_t &cookie : cookies) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(x11->connection(), cookie, nullptr);
        misbehaviour.targets.push_back(reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE));
        free(reply);
    }
    app.installNativeEventFilter(&misbehaviour);

    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(data, QClipboard::Clipboard);
    QElapsedTimer held;
    held.start();
    if (clipboard->mimeData(QClipboard::Clipboard) != data)
        return 1;
    std::printf("owned\n");

    // Without --reown-ms, the X server itself is asked every 10 ms: a Qt owner is not told of
    // its loss when the new owner took the clipboard with the same time stamp.
    int times = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &app, [&] {
        if (reownMs > 0) {
            clipboard->setMimeData(copy(), QClipboard::Clipboard), ++times;
        } else if (clipboard->mimeData(QClipboard::Clipboard) != data) {
            std::printf("lost %lld\n", static_cast<long long>(held.elapsed()));
            QCoreApplication::exit(0);
        }
    });
    timer.start(reownMs > 0 ? reownMs : 10);
    const int timeout = qEnvironmentVariableIntValue("ORVANE_OWNER_TIMEOUT_MS") ?: 30000;
    QTimer::singleShot(timeout, &app, [&] {
        if (reownMs > 0)
            std::printf("reowned %d\n", times);
        QCoreApplication::exit(reownMs > 0 ? 0 : 3);
    });
    return QGuiApplication::exec();
}
