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
class Misbehaviour : public QAbstractNativeEventFilter
{
public:
    QString hang;
    QString die;
    xcb_connection_t *connection = nullptr;
    xcb_atom_t targetsAtom = XCB_ATOM_NONE;
    // When set, TARGETS is answered from here: Qt would ask the server for each name in turn.
    std::vector<xcb_atom_t> targets;

    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST)
            return false;
        const auto *request = static_cast<const xcb_selection_request_event_t *>(message);
        const bool forData = request->target != targetsAtom;
        if (die == u"data" && forData)
            _exit(0);
        if (!forData && !targets.empty() && hang != u"all") {
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor,
                request->property, XCB_ATOM_ATOM, 32, uint32_t(targets.size()), targets.data());
            const xcb_selection_notify_event_t notify{XCB_SELECTION_NOTIFY, 0, 0, request->time,
                request->requestor, request->selection, request->target, request->property};
            xcb_send_event(
                connection, 0, request->requestor, 0, reinterpret_cast<const char *>(&notify));
            xcb_flush(connection);
            return true;
        }
        return hang == u"all" || (hang == u"data" && forData);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    Misbehaviour misbehaviour;
    int reownMs = 0;
    int extraTargets = 0;
    auto *data = new QMimeData;
    for (const QString &arg : app.arguments().mid(1)) {
        const qsizetype eq = arg.indexOf(u'=');
        if (eq <= 0)
            return 2;
        const QString name = arg.left(eq);
        QByteArray value = arg.mid(eq + 1).toUtf8();
        if (name.startsWith(u"--")) {
            if (name == u"--hang" || name == u"--die")
                (name == u"--hang" ? misbehaviour.hang : misbehaviour.die)
                    = QString::fromUtf8(value);
            else if (name == u"--targets" || name == u"--reown-ms")
                (name == u"--targets" ? extraTargets : reownMs) = value.toInt();
            else
                return 2;
            continue;
        }
        if (value.startsWith('@')) {
            QFile file(QString::fromUtf8(value.mid(1)));
            if (!file.open(QIODevice::ReadOnly))
                return 2;
            value = file.readAll();
        }
        if (name == u"text/plain")
            data->setText(QString::fromUtf8(value));
        else
            data->setData(name, value);
    }

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
        cookies.push_back(
            xcb_intern_atom(x11->connection(), 0, uint16_t(name.size()), name.constData()));
    for (const xcb_intern_atom_cookie_t &cookie : cookies) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(x11->connection(), cookie, nullptr);
        misbehaviour.targets.push_back(reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE));
        free(reply);
    }
    misbehaviour.targetsAtom = misbehaviour.targets.front();
    if (extraTargets == 0)
        misbehaviour.targets.clear();
    app.installNativeEventFilter(&misbehaviour);

    QClipboard *clipboard = QGuiApplication::clipboard();
    QElapsedTimer held;
    // Kept aside: the clipboard deletes the data it holds once another client takes it.
    QList<std::pair<QString, QByteArray>> content;
    for (const QString &format : data->formats())
        content.append({format, data->data(format)});
    clipboard->setMimeData(data, QClipboard::Clipboard);
    held.start();
    if (clipboard->mimeData(QClipboard::Clipboard) != data)
        return 1;
    std::printf("owned\n");
    std::fflush(stdout);

    const int timeout = qEnvironmentVariableIntValue("ORVANE_OWNER_TIMEOUT_MS") ?: 30000;
    if (reownMs > 0) {
        // A fresh copy of the same content each time, as a program copying in a loop makes.
        int times = 0;
        QTimer reown;
        QObject::connect(&reown, &QTimer::timeout, &app, [&] {
            auto *again = new QMimeData;
            for (const auto &[format, bytes] : content)
                again->setData(format, bytes);
            clipboard->setMimeData(again, QClipboard::Clipboard);
            ++times;
        });
        reown.start(reownMs);
        QTimer::singleShot(timeout, &app, [&] {
            std::printf("reowned %d\n", times);
            std::fflush(stdout);
            QCoreApplication::exit(0);
        });
        return QGuiApplication::exec();
    }

    // Asked of the X server itself every 10 ms: a Qt owner is not told of its loss when the
    // new owner took the clipboard with the same time stamp.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (clipboard->mimeData(QClipboard::Clipboard) == data)
            return;
        std::printf("lost %lld\n", static_cast<long long>(held.elapsed()));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    poll.start(10);
    QTimer::singleShot(timeout, &app, [] { QCoreApplication::exit(3); });
    return QGuiApplication::exec();
}
