// Owns the X11 CLIPBOARD the way a browser or a file manager does, for the end-to-end tests
// and the benchmarks.
//
//   tavo-clipboard-owner MIME=VALUE|MIME=@FILE ...
//
// Prints "owned" once the data is offered, then "lost <ms>" with the milliseconds it held the
// clipboard as soon as another client takes it, and exits. Exits 2 on bad arguments, 3 when
// nobody took the clipboard within ORVANE_OWNER_TIMEOUT_MS (default 30 s).
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    auto *data = new QMimeData;
    for (const QString &arg : app.arguments().mid(1)) {
        const qsizetype eq = arg.indexOf(u'=');
        if (eq <= 0)
            return 2;
        const QString mime = arg.left(eq);
        QByteArray value = arg.mid(eq + 1).toUtf8();
        if (value.startsWith('@')) {
            QFile file(QString::fromUtf8(value.mid(1)));
            if (!file.open(QIODevice::ReadOnly))
                return 2;
            value = file.readAll();
        }
        if (mime == u"text/plain")
            data->setText(QString::fromUtf8(value));
        else
            data->setData(mime, value);
    }

    QClipboard *clipboard = QGuiApplication::clipboard();
    QElapsedTimer held;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    held.start();
    if (clipboard->mimeData(QClipboard::Clipboard) != data)
        return 1;
    std::printf("owned\n");
    std::fflush(stdout);

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
    const int timeout = qEnvironmentVariableIntValue("ORVANE_OWNER_TIMEOUT_MS");
    QTimer::singleShot(timeout > 0 ? timeout : 30000, &app, [] { QCoreApplication::exit(3); });
    return QGuiApplication::exec();
}
