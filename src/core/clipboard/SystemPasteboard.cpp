#include "clipboard/SystemPasteboard.h"

#include "clipboard/WaylandPasteboard.h"
#include "clipboard/XcbPasteboard.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

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
            qCInfo(clipboardLog, "Wayland data control (%s)", wayland->protocol());
            return wayland;
        }
    }
    qCInfo(clipboardLog, "X11");
    return std::make_unique<XcbPasteboard>();
}

bool SystemPasteboard::setString(const QString &text, const QString &type)
{
    const bool declared = type == PasteboardType::string && m_declared == QStringList{type};
    m_declared.clear();
    return declared && setContents(text, {});
}

bool SystemPasteboard::startKeeper(const QString &program, const QString &text, quint32 since)
{
    const QString file = KeeperFile::write(text.toUtf8());
    if (file.isEmpty())
        return false;
    if (!QProcess::startDetached(
            program, {QLatin1String(KeeperFile::option), file, QString::number(since)})) {
        KeeperFile::remove(file);
        return false;
    }
    return true;
}

int SystemPasteboard::runKeeper(int argc, char *argv[], const KeeperFile::Handed &handed)
{
    QCoreApplication app(argc, argv);
    const std::unique_ptr<SystemPasteboard> board = create();
    // Someone copied since we quit: there is nothing left of ours to keep.
    if (handed.text.isEmpty() || !board->keep(QString::fromUtf8(handed.text), handed.since))
        return 0;
    connect(board.get(), &SystemPasteboard::lost, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
