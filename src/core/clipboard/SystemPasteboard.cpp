#include "clipboard/SystemPasteboard.h"

#include "clipboard/WaylandPasteboard.h"
#include "clipboard/XcbPasteboard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryFile>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// What one copy may weigh, as everywhere on the clipboard.
constexpr qsizetype maxKeptBytes = 128 << 20;
const auto keeperSwitch = "--keep-clipboard";

Q_LOGGING_CATEGORY(clipboardLog, "orvane.clipboard", QtInfoMsg)

} // namespace

SystemPasteboard::SystemPasteboard(QObject *parent)
    : QObject(parent)
    , m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

SystemPasteboard::~SystemPasteboard()
{
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void SystemPasteboard::interrupt()
{
    m_interrupted = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void SystemPasteboard::clearWake() const
{
    uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &wakes, sizeof wakes);
}

std::unique_ptr<SystemPasteboard> SystemPasteboard::create()
{
    const QByteArray forced = qgetenv("ORVANE_CLIPBOARD");
    if (forced != "x11" && (forced == "wayland" || qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))) {
        auto wayland = std::make_unique<WaylandPasteboard>();
        if (wayland->isConnected() || forced == "wayland") {
            qCInfo(clipboardLog, "clipboard: Wayland data control (%s)", wayland->protocol());
            return wayland;
        }
    }
    qCInfo(clipboardLog, "clipboard: X11");
    return std::make_unique<XcbPasteboard>();
}

bool SystemPasteboard::startKeeper(const QString &program, const QString &text, quint32 since)
{
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/orvanetavo-keep-XXXXXX"));
    file.setAutoRemove(false);
    const QByteArray bytes = text.toUtf8();
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
        file.remove();
        return false;
    }
    file.close();
    if (!QProcess::startDetached(
            program, {QLatin1String(keeperSwitch), file.fileName(), QString::number(since)})) {
        file.remove();
        return false;
    }
    return true;
}

int SystemPasteboard::runKeeper(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4 || args.at(1) != QLatin1String(keeperSwitch))
        return 2;
    QFile file(args.at(2));
    const QByteArray bytes
        = file.open(QIODevice::ReadOnly) ? file.read(maxKeptBytes) : QByteArray();
    file.remove();
    bool ok = false;
    const quint32 since = args.at(3).toUInt(&ok);
    const std::unique_ptr<SystemPasteboard> board = create();
    // Someone copied since we quit: there is nothing left of ours to keep.
    if (!ok || bytes.isEmpty() || !board->keep(QString::fromUtf8(bytes), since))
        return 0;
    connect(board.get(), &SystemPasteboard::lost, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
