#include "clipboard/WaylandPasteboard.h"

#include "clipboard/TargetMapping.h"
#include "clipboard/WaylandTextOffer.h"

#include "ext-data-control-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// What one copy may weigh, as on X11.
constexpr qsizetype maxTextBytes = 128 << 20;
constexpr int keeperTimeoutMs = 2000;

// Both protocols have the same requests in the same order; only the interfaces differ.
enum Request : uint32_t {
    createDataSource = 0,
    getDataDevice = 1,
    destroyManager = 2,
    setSelection = 0,
    destroyDevice = 1,
    offerType = 0,
    destroySource = 1,
    receive = 0,
    destroyOffer = 1,
};

wl_proxy *request(wl_proxy *proxy, uint32_t opcode, const wl_interface *created, auto... args)
{
    return wl_proxy_marshal_flags(proxy, opcode, created, wl_proxy_get_version(proxy), 0, args...);
}

void destroy(wl_proxy *proxy, uint32_t opcode)
{
    if (proxy)
        wl_proxy_marshal_flags(
            proxy, opcode, nullptr, wl_proxy_get_version(proxy), WL_MARSHAL_FLAG_DESTROY);
}

} // namespace

struct WaylandPasteboard::Protocol
{
    const wl_interface *manager;
    const wl_interface *device;
    const wl_interface *source;
    const wl_interface *offer;
    uint32_t version;
};

namespace {

const WaylandPasteboard::Protocol extProtocol{&ext_data_control_manager_v1_interface,
    &ext_data_control_device_v1_interface, &ext_data_control_source_v1_interface,
    &ext_data_control_offer_v1_interface, 1};
const WaylandPasteboard::Protocol wlrProtocol{&zwlr_data_control_manager_v1_interface,
    &zwlr_data_control_device_v1_interface, &zwlr_data_control_source_v1_interface,
    &zwlr_data_control_offer_v1_interface, 2};

// What the registry offered, gathered during the first round trip.
struct Globals
{
    uint32_t seat = 0;
    uint32_t ext = 0;
    uint32_t wlr = 0;
    uint32_t wlrVersion = 0;
};

} // namespace

// The compositor's events, the same for both protocols.
struct WaylandPasteboard::Listeners
{
    static WaylandPasteboard *board(void *data) { return static_cast<WaylandPasteboard *>(data); }

    static void global(
        void *data, wl_registry *, uint32_t name, const char *interface, uint32_t version)
    {
        auto *globals = static_cast<Globals *>(data);
        const QByteArray id(interface);
        if (id == wl_seat_interface.name && globals->seat == 0)
            globals->seat = name;
        else if (id == extProtocol.manager->name)
            globals->ext = name;
        else if (id == wlrProtocol.manager->name) {
            globals->wlr = name;
            globals->wlrVersion = version;
        }
    }
    static void globalRemove(void *, wl_registry *, uint32_t) { }

    static void offered(void *data, wl_proxy *offer, const char *type)
    {
        QStringList &types = board(data)->m_offers[offer];
        if (types.size() < maxTypes)
            types.append(QString::fromUtf8(type));
    }

    static void dataOffer(void *data, wl_proxy *, wl_proxy *offer)
    {
        static const struct
        {
            void (*offer)(void *, wl_proxy *, const char *);
        } listener{offered};
        wl_proxy_add_listener(offer, (void (**)(void)) & listener, data);
        board(data)->m_offers.insert(offer, {});
    }

    static void selection(void *data, wl_proxy *, wl_proxy *offer)
    {
        WaylandPasteboard *self = board(data);
        if (self->m_selection != offer)
            self->forget(self->m_selection);
        self->m_selection = offer;
        const bool ours = self->m_echo && self->m_offers.value(offer) == self->m_offer->offered();
        self->m_echo = false;
        if (ours)
            return;
        ++self->m_changeCount;
        if (self->m_notice)
            self->m_notice();
    }

    static void finished(void *data, wl_proxy *)
    {
        // The seat is gone, and the clipboard with it.
        WaylandPasteboard *self = board(data);
        destroy(self->m_device, destroyDevice);
        self->m_device = nullptr;
        self->m_gone = true;
        QMetaObject::invokeMethod(self, &SystemPasteboard::lost, Qt::QueuedConnection);
    }

    static void primarySelection(void *data, wl_proxy *, wl_proxy *offer)
    {
        board(data)->forget(offer);
    }

    static void send(void *data, wl_proxy *source, const char *type, int32_t fd)
    {
        WaylandPasteboard *self = board(data);
        if (source == self->m_source)
            self->m_offer->send(QString::fromUtf8(type), fd);
        else
            close(fd);
    }

    static void cancelled(void *data, wl_proxy *source)
    {
        WaylandPasteboard *self = board(data);
        destroy(source, destroySource);
        if (source != self->m_source)
            return;
        self->m_source = nullptr;
        self->m_offer->release();
        QMetaObject::invokeMethod(self, &SystemPasteboard::lost, Qt::QueuedConnection);
    }
};

WaylandPasteboard::WaylandPasteboard(QObject *parent)
    : SystemPasteboard(parent)
    , m_display(wl_display_connect(nullptr))
    , m_offer(new WaylandTextOffer(this))
{
    if (!m_display)
        return;
    static const wl_registry_listener registryListener{Listeners::global, Listeners::globalRemove};
    Globals globals;
    wl_registry *registry = wl_display_get_registry(m_display);
    m_registry = reinterpret_cast<wl_proxy *>(registry);
    wl_registry_add_listener(registry, &registryListener, &globals);
    wl_display_roundtrip(m_display);
    // The newer protocol where both are offered.
    m_protocol = globals.ext ? &extProtocol : globals.wlr ? &wlrProtocol : nullptr;
    if (!m_protocol || !globals.seat)
        return;
    m_seat
        = static_cast<wl_proxy *>(wl_registry_bind(registry, globals.seat, &wl_seat_interface, 1));
    m_manager = static_cast<wl_proxy *>(
        wl_registry_bind(registry, globals.ext ? globals.ext : globals.wlr, m_protocol->manager,
            globals.ext ? 1 : std::min(globals.wlrVersion, m_protocol->version)));
    m_device = request(m_manager, getDataDevice, m_protocol->device, nullptr, m_seat);
    static const struct
    {
        void (*dataOffer)(void *, wl_proxy *, wl_proxy *);
        void (*selection)(void *, wl_proxy *, wl_proxy *);
        void (*finished)(void *, wl_proxy *);
        void (*primarySelection)(void *, wl_proxy *, wl_proxy *);
    } deviceListener{Listeners::dataOffer, Listeners::selection, Listeners::finished,
        Listeners::primarySelection};
    wl_proxy_add_listener(m_device, (void (**)(void)) & deviceListener, this);
    // The current selection arrives now: it is what we start from, not a change.
    wl_display_roundtrip(m_display);
    m_changeCount = 0;

    m_notifier = new QSocketNotifier(wl_display_get_fd(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
}

WaylandPasteboard::~WaylandPasteboard()
{
    if (m_display) {
        delete m_notifier;
        for (wl_proxy *offer : m_offers.keys())
            destroy(offer, destroyOffer);
        destroy(m_source, destroySource);
        destroy(m_device, destroyDevice);
        destroy(m_manager, destroyManager);
        if (m_seat)
            wl_proxy_destroy(m_seat);
        wl_proxy_destroy(m_registry);
        wl_display_flush(m_display);
        wl_display_disconnect(m_display);
    }
}

const char *WaylandPasteboard::protocol() const
{
    return m_protocol && m_device ? m_protocol->manager->name : "none";
}

void WaylandPasteboard::forget(wl_proxy *offer) const
{
    if (!offer)
        return;
    m_offers.remove(offer);
    destroy(offer, destroyOffer);
    if (m_selection == offer)
        m_selection = nullptr;
}

void WaylandPasteboard::drain() const
{
    if (!m_display || m_gone)
        return;
    while (wl_display_prepare_read(m_display) != 0)
        wl_display_dispatch_pending(m_display);
    wl_display_flush(m_display);
    pollfd fd{wl_display_get_fd(m_display), POLLIN, 0};
    if (poll(&fd, 1, 0) > 0)
        wl_display_read_events(m_display);
    else
        wl_display_cancel_read(m_display);
    wl_display_dispatch_pending(m_display);
    if (wl_display_get_error(m_display) != 0 && !m_gone) {
        m_gone = true;
        m_notifier->setEnabled(false);
        QMetaObject::invokeMethod(
            const_cast<WaylandPasteboard *>(this), &SystemPasteboard::lost, Qt::QueuedConnection);
    }
}

bool WaylandPasteboard::waitFor(int fd, int ms, const std::function<bool()> &done) const
{
    const QDeadlineTimer deadline(ms);
    for (;;) {
        if (done && done())
            return true;
        if (m_interrupted || m_gone || !m_display)
            return false;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        wl_display_flush(m_display);
        pollfd fds[3]
            = {{wl_display_get_fd(m_display), POLLIN, 0}, {wakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(fds, fd >= 0 ? 3 : 2, int(left)) <= 0)
            continue;
        if (fds[0].revents != 0)
            drain();
        if (fds[1].revents != 0)
            clearWake();
        if (fd >= 0 && fds[2].revents != 0)
            return true;
    }
}

QStringList WaylandPasteboard::types() const
{
    return m_selection ? TargetMapping::identifiersForFormats(m_offers.value(m_selection))
                       : QStringList();
}

std::optional<QString> WaylandPasteboard::string(const QString &type) const
{
    if (type != PasteboardType::string || !m_selection)
        return std::nullopt;
    // One plain-text name is read, the best offered: a source that fails under one would
    // fail under the others, and a second read would cost a second wait.
    const QStringList offered = m_offers.value(m_selection);
    for (const QString &name : WaylandTextOffer::types) {
        const auto it = std::find_if(offered.begin(), offered.end(),
            [&](const QString &mime) { return mime.compare(name, Qt::CaseInsensitive) == 0; });
        if (it == offered.end())
            continue;
        const std::optional<QByteArray> bytes = read(*it);
        if (!bytes)
            return std::nullopt;
        return it->compare(QLatin1String("STRING"), Qt::CaseInsensitive) == 0
            ? QString::fromLatin1(*bytes)
            : QString::fromUtf8(*bytes);
    }
    return std::nullopt;
}

std::optional<QByteArray> WaylandPasteboard::data(const QString &mimeType) const
{
    if (!m_selection || !m_offers.value(m_selection).contains(mimeType))
        return std::nullopt;
    return read(mimeType);
}

std::optional<QByteArray> WaylandPasteboard::read(const QString &mimeType) const
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return std::nullopt;
    request(m_selection, receive, nullptr, mimeType.toUtf8().constData(), fds[1]);
    wl_display_flush(m_display);
    close(fds[1]);

    // What we are reading is moot once someone copied again.
    const qint64 changeCount = m_changeCount;
    const auto changed = [&] { return m_changeCount != changeCount; };
    QByteArray data;
    std::optional<QByteArray> whole;
    char buffer[64 * 1024];
    while (waitFor(fds[0], answerTimeoutMs, changed) && !changed()) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0) {
            // A source that closes as it goes away: the change may be on its way.
            drain();
            if (n == 0 && !changed())
                whole = std::move(data);
            break;
        }
        data.append(buffer, n);
        if (data.size() > maxTextBytes)
            break;
    }
    close(fds[0]);
    return whole;
}

bool WaylandPasteboard::setContents(const QString &text, const Formats &formats)
{
    if (!isConnected())
        return false;
    // Wayland has no time stamps to refuse a late write: a copy that came in meanwhile is
    // looked for just before ours goes out.
    const qint64 before = m_changeCount;
    drain();
    if (m_changeCount != before)
        return false;
    offer(text, formats);
    return true;
}

void WaylandPasteboard::offer(const QString &text, const Formats &formats)
{
    // Our earlier source goes only once the new one is the selection: gone first, it would
    // leave an empty selection in between, which every client takes for someone's copy.
    wl_proxy *earlier = std::exchange(m_source, nullptr);
    m_source = request(m_manager, createDataSource, m_protocol->source, nullptr);
    static const struct
    {
        void (*send)(void *, wl_proxy *, const char *, int32_t);
        void (*cancelled)(void *, wl_proxy *);
    } sourceListener{Listeners::send, Listeners::cancelled};
    wl_proxy_add_listener(m_source, (void (**)(void)) & sourceListener, this);
    m_offer->hold(text, formats);
    for (const QString &mime : m_offer->offered())
        request(m_source, offerType, nullptr, mime.toUtf8().constData());
    request(m_device, setSelection, nullptr, m_source);
    destroy(earlier, destroySource);
    wl_display_flush(m_display);
    m_echo = true;
    ++m_changeCount;
}

bool WaylandPasteboard::keep(const QString &text, quint32 since)
{
    Q_UNUSED(since)
    drain();
    // Ours when it offers our text first, a copy put back whole included.
    if (!isConnected()
        || (m_selection
            && m_offers.value(m_selection).mid(0, WaylandTextOffer::types.size())
                != WaylandTextOffer::types))
        return false;
    offer(text, {});
    return true;
}

void WaylandPasteboard::handOver(const QString &keeperProgram)
{
    m_interrupted = false;
    drain();
    if (!m_source || !m_offer->isHeld() || !startKeeper(keeperProgram, m_offer->text(), 0))
        return;
    // We go on serving until the keeper has the clipboard: no paste in between finds it empty.
    waitFor(-1, keeperTimeoutMs, [this] { return m_source == nullptr; });
}
