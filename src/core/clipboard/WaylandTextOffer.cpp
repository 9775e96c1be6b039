#include "clipboard/WaylandTextOffer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// So that readers that never finish cannot pile up copies of the text.
constexpr size_t maxTransfers = 8;

// A reader that closed its end must cost us an error, not the SIGPIPE that ends the process.
ssize_t writeQuietly(int fd, const char *data, size_t size)
{
    sigset_t pipe;
    sigset_t old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EPIPE) {
        const timespec none{};
        sigtimedwait(&pipe, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return written;
}

} // namespace

const QStringList WaylandTextOffer::types{QStringLiteral("text/plain;charset=utf-8"),
    QStringLiteral("text/plain"), QStringLiteral("UTF8_STRING"), QStringLiteral("STRING"),
    QStringLiteral("TEXT")};

struct WaylandTextOffer::Transfer
{
    int fd = -1;
    QByteArray data;
    qsizetype sent = 0;
    std::unique_ptr<QSocketNotifier> writable;
    std::unique_ptr<QTimer> idle;

    ~Transfer()
    {
        writable.reset();
        close(fd);
    }
    Transfer() = default;
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;
};

WaylandTextOffer::WaylandTextOffer(QObject *parent)
    : QObject(parent)
{
}

WaylandTextOffer::~WaylandTextOffer() = default;

void WaylandTextOffer::hold(const QString &text, const Pasteboard::Formats &formats)
{
    m_held = true;
    m_text = text;
    m_formats = formats;
}

QStringList WaylandTextOffer::offered() const
{
    QStringList all = types;
    for (const auto &format : m_formats)
        all.append(format.first);
    return all;
}

void WaylandTextOffer::release()
{
    m_held = false;
    m_text.clear();
    m_formats.clear();
}

bool WaylandTextOffer::pump(Transfer &transfer)
{
    while (transfer.sent < transfer.data.size()) {
        const ssize_t written = writeQuietly(transfer.fd, transfer.data.constData() + transfer.sent,
            size_t(transfer.data.size() - transfer.sent));
        if (written < 0)
            return errno == EAGAIN || errno == EINTR;
        transfer.sent += written;
        transfer.idle->start();
    }
    return false;
}

void WaylandTextOffer::send(const QString &type, int fd)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->fd = fd;
    const auto styled = std::find_if(m_formats.begin(), m_formats.end(),
        [&](const auto &format) { return format.first == type; });
    if (!m_held || (styled == m_formats.end() && !types.contains(type)))
        return;
    transfer->data = styled != m_formats.end() ? styled->second
        : type == QLatin1String("STRING")      ? m_text.toLatin1()
                                               : m_text.toUtf8();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    transfer->idle = std::make_unique<QTimer>();
    transfer->idle->setSingleShot(true);
    transfer->idle->setInterval(idleMs);
    transfer->idle->start();
    if (!pump(*transfer))
        return;
    Transfer *pending = transfer.get();
    transfer->writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(transfer->writable.get(), &QSocketNotifier::activated, this, [this, pending] {
        if (!pump(*pending))
            drop(pending);
    });
    connect(pending->idle.get(), &QTimer::timeout, this, [this, pending] { drop(pending); });
    if (m_transfers.size() >= maxTransfers)
        m_transfers.erase(m_transfers.begin());
    m_transfers.push_back(std::move(transfer));
}

void WaylandTextOffer::drop(Transfer *transfer)
{
    // Called from the notifier's or the timer's own signal: those go later, the pipe now.
    transfer->writable->setEnabled(false);
    transfer->writable.release()->deleteLater();
    transfer->idle.release()->deleteLater();
    std::erase_if(m_transfers, [&](const auto &t) { return t.get() == transfer; });
}
