#include "clipboard/XcbPasteboard.h"

#include "clipboard/TargetMapping.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <xcb/xfixes.h>

#include <poll.h>
#include <unistd.h>

namespace {

// What one copy may weigh: a larger one is left alone rather than held twice in memory.
constexpr qsizetype maxTextBytes = 128 << 20;
constexpr int managerTimeoutMs = 3000;
constexpr int keeperTimeoutMs = 2000;

uint8_t eventType(const xcb_generic_event_t *event)
{
    return event->response_type & 0x7f;
}

} // namespace

XcbPasteboard::XcbPasteboard(QObject *parent)
    : SystemPasteboard(parent)
    , m_connection(xcb_connect(nullptr, nullptr))
    , m_atoms(std::make_unique<XcbAtoms>(m_connection))
{
    const xcb_query_extension_reply_t *xfixes = xcb_connection_has_error(m_connection)
        ? nullptr
        : xcb_get_extension_data(m_connection, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present) {
        m_offer = std::make_unique<XcbTextOffer>(m_connection, *m_atoms, XCB_WINDOW_NONE);
        return;
    }
    free(xcb_xfixes_query_version_reply(
        m_connection, xcb_xfixes_query_version(m_connection, 1, 0), nullptr));
    m_xfixesEvent = xfixes->first_event;

    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    const xcb_window_t window = xcb_generate_id(m_connection);
    // Large answers arrive in pieces announced by property changes on our window.
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
        XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, XCB_CW_EVENT_MASK, &mask);
    xcb_xfixes_select_selection_input(m_connection, window, m_atoms->atom("CLIPBOARD"),
        XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER
            | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY
            | XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    m_window = window;
    m_offer = std::make_unique<XcbTextOffer>(m_connection, *m_atoms, window);

    m_notifier
        = new QSocketNotifier(xcb_get_file_descriptor(m_connection), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
    xcb_flush(m_connection);
    drainLater();
}

XcbPasteboard::~XcbPasteboard()
{
    xcb_disconnect(m_connection);
}

void XcbPasteboard::drain() const
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
        dispatch(event);
        free(event);
    }
    if (xcb_connection_has_error(m_connection) && !m_gone) {
        m_gone = true;
        if (m_notifier)
            m_notifier->setEnabled(false);
        QMetaObject::invokeMethod(
            const_cast<XcbPasteboard *>(this), &XcbPasteboard::lost, Qt::QueuedConnection);
    }
}

void XcbPasteboard::drainLater() const
{
    // Events that came in while we waited for an answer sit in the connection's queue, where the
    // socket notifier cannot see them.
    QMetaObject::invokeMethod(
        const_cast<XcbPasteboard *>(this), [this] { drain(); }, Qt::QueuedConnection);
}

void XcbPasteboard::dispatch(const xcb_generic_event_t *event) const
{
    const uint8_t type = eventType(event);
    if (m_xfixesEvent != 0 && type == m_xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto *notice = reinterpret_cast<const xcb_xfixes_selection_notify_event_t *>(event);
        // Our own write was counted when we made it.
        if (notice->selection != m_atoms->atom("CLIPBOARD") || notice->owner == m_window)
            return;
        m_owner = notice->owner;
        m_changedAt = notice->selection_timestamp;
        ++m_changeCount;
        if (m_notice)
            m_notice();
    } else if (type == XCB_SELECTION_REQUEST) {
        m_offer->answer(*reinterpret_cast<const xcb_selection_request_event_t *>(event));
    } else if (type == XCB_SELECTION_CLEAR) {
        const auto *clear = reinterpret_cast<const xcb_selection_clear_event_t *>(event);
        if (clear->selection == m_atoms->atom("CLIPBOARD") && m_offer->isHeld()) {
            m_offer->release();
            QMetaObject::invokeMethod(
                const_cast<XcbPasteboard *>(this), &XcbPasteboard::lost, Qt::QueuedConnection);
        }
    } else if (type == XCB_PROPERTY_NOTIFY) {
        m_offer->propertyChanged(*reinterpret_cast<const xcb_property_notify_event_t *>(event));
    }
}

bool XcbPasteboard::waitFor(
    const std::function<bool(const xcb_generic_event_t *)> &match, int ms, bool abortOnChange) const
{
    const qint64 changeCount = m_changeCount;
    const QDeadlineTimer deadline(ms);
    xcb_flush(m_connection);
    for (;;) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
            const bool matched = match(event);
            if (!matched)
                dispatch(event);
            free(event);
            if (matched)
                return true;
        }
        // What we are reading is moot once someone copied again.
        if (m_interrupted || xcb_connection_has_error(m_connection)
            || (abortOnChange && m_changeCount != changeCount))
            return false;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{xcb_get_file_descriptor(m_connection), POLLIN, 0}, {wakeFd(), POLLIN, 0}};
        if (poll(fds, 2, int(left)) > 0 && fds[1].revents != 0)
            clearWake();
    }
}

std::optional<XcbPasteboard::Reply> XcbPasteboard::takeProperty() const
{
    const xcb_atom_t property = m_atoms->atom("ORVANE_SELECTION");
    xcb_get_property_reply_t *reply = xcb_get_property_reply(m_connection,
        xcb_get_property(m_connection, 1, m_window, property, XCB_GET_PROPERTY_TYPE_ANY, 0,
            uint32_t(maxTextBytes / 4)),
        nullptr);
    std::optional<Reply> taken;
    // A property that is not there is no answer; an empty one with a type is.
    if (reply && reply->type != XCB_ATOM_NONE && reply->bytes_after == 0) {
        taken = Reply{reply->type,
            QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                xcb_get_property_value_length(reply))};
    } else if (reply && reply->type != XCB_ATOM_NONE) {
        taken = Reply{reply->type, {}, true};
    }
    free(reply);
    return taken;
}

std::optional<XcbPasteboard::Reply> XcbPasteboard::read(xcb_atom_t target, bool *answered) const
{
    const xcb_atom_t clipboard = m_atoms->atom("CLIPBOARD");
    const xcb_atom_t property = m_atoms->atom("ORVANE_SELECTION");
    const xcb_atom_t incr = m_atoms->atom("INCR");
    drainLater();
    xcb_delete_property(m_connection, m_window, property);
    xcb_convert_selection(m_connection, m_window, clipboard, target, property, XCB_CURRENT_TIME);
    xcb_atom_t given = XCB_ATOM_NONE;
    const bool replied = waitFor(
        [&](const xcb_generic_event_t *event) {
            const auto *notify = reinterpret_cast<const xcb_selection_notify_event_t *>(event);
            if (eventType(event) != XCB_SELECTION_NOTIFY || notify->requestor != m_window
                || notify->selection != clipboard || notify->target != target)
                return false;
            given = notify->property;
            return true;
        },
        answerTimeoutMs);
    if (answered)
        *answered = replied;
    if (!replied || given == XCB_ATOM_NONE)
        return std::nullopt;
    std::optional<Reply> reply = takeProperty();
    // Too large under one name is too large under every other: the owner is not asked again.
    const auto tooLarge = [&] {
        if (answered)
            *answered = false;
        return std::nullopt;
    };
    if (reply && reply->tooLarge)
        return tooLarge();
    if (!reply || reply->type != incr)
        return reply;

    // Taking the INCR property asked for the first piece; each piece taken asks for the next,
    // and an empty piece ends the answer.
    Reply whole;
    for (;;) {
        const bool piece = waitFor(
            [&](const xcb_generic_event_t *event) {
                const auto *notify = reinterpret_cast<const xcb_property_notify_event_t *>(event);
                return eventType(event) == XCB_PROPERTY_NOTIFY && notify->window == m_window
                    && notify->atom == property && notify->state == XCB_PROPERTY_NEW_VALUE;
            },
            answerTimeoutMs);
        if (!piece) {
            if (answered)
                *answered = false;
            return std::nullopt;
        }
        const std::optional<Reply> next = takeProperty();
        if (!next)
            continue;
        if (next->data.isEmpty())
            return whole;
        whole.type = next->type;
        whole.data += next->data;
        if (next->tooLarge || whole.data.size() > maxTextBytes)
            return tooLarge();
    }
}

QList<QByteArray> XcbPasteboard::targets() const
{
    if (m_targetsCount == m_changeCount)
        return m_targets;
    m_targetsCount = m_changeCount;
    m_targets.clear();
    if (!isConnected() || m_owner == XCB_WINDOW_NONE)
        return m_targets;
    const std::optional<Reply> reply = read(m_atoms->atom("TARGETS"));
    if (!reply || reply->data.size() % sizeof(xcb_atom_t) != 0)
        return m_targets;
    // An owner can offer any number of targets; the ones that matter come first.
    const int count = int(std::min<qsizetype>(reply->data.size() / 4, maxTargets));
    m_targets
        = m_atoms->names(reinterpret_cast<const xcb_atom_t *>(reply->data.constData()), count);
    return m_targets;
}

QStringList XcbPasteboard::types() const
{
    QStringList formats;
    for (const QByteArray &name : targets())
        formats.append(QString::fromUtf8(name));
    return TargetMapping::identifiersForFormats(formats);
}

std::optional<QString> XcbPasteboard::string(const QString &type) const
{
    // Only plain text is ever asked for; reading another representation would make the owner
    // send data the engine never uses.
    if (type != PasteboardType::string)
        return std::nullopt;
    const QList<QByteArray> offered = targets();
    for (const char *name :
        {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "STRING", "TEXT"}) {
        const auto it = std::find_if(offered.begin(), offered.end(), [&](const QByteArray &target) {
            return target.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (it == offered.end())
            continue;
        bool answered = false;
        const std::optional<Reply> reply = read(m_atoms->atom(*it), &answered);
        // An owner that does not answer in time is not asked again.
        if (!answered)
            return std::nullopt;
        if (!reply || reply->type == m_atoms->atom("COMPOUND_TEXT"))
            continue;
        return reply->type == XCB_ATOM_STRING ? QString::fromLatin1(reply->data)
                                              : QString::fromUtf8(reply->data);
    }
    return std::nullopt;
}

std::optional<QByteArray> XcbPasteboard::data(const QString &mimeType) const
{
    const QByteArray name = mimeType.toUtf8();
    if (!targets().contains(name))
        return std::nullopt;
    const std::optional<Reply> reply = read(m_atoms->atom(name));
    return reply ? std::optional(reply->data) : std::nullopt;
}

bool XcbPasteboard::setContents(const QString &text, const Formats &formats)
{
    // Taken with the time of the copy we read: the server ignores us when anyone copied since,
    // so a newer copy is never overwritten with older content.
    return hold(text, formats, m_changedAt);
}

bool XcbPasteboard::keep(const QString &text, quint32 since)
{
    return hold(text, {}, since);
}

bool XcbPasteboard::hold(const QString &text, const Formats &formats, xcb_timestamp_t since)
{
    if (!isConnected())
        return false;
    xcb_set_selection_owner(m_connection, m_window, m_atoms->atom("CLIPBOARD"), since);
    xcb_get_selection_owner_reply_t *reply = xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, m_atoms->atom("CLIPBOARD")), nullptr);
    const bool owned = reply && reply->owner == m_window;
    free(reply);
    drainLater();
    if (!owned)
        return false;
    m_offer->hold(text, since, formats);
    ++m_changeCount;
    return true;
}

void XcbPasteboard::handOver(const QString &keeperProgram)
{
    m_interrupted = false;
    drain();
    if (!isConnected() || !m_offer->isHeld())
        return;

    const xcb_atom_t manager = m_atoms->atom("CLIPBOARD_MANAGER");
    xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, manager), nullptr);
    const bool managed = owner && owner->owner != XCB_WINDOW_NONE;
    free(owner);
    if (managed) {
        // The manager asks us for the text while we wait, then answers. One that answers
        // without ever having read the text (sway's XWayland window manager does) kept nothing.
        xcb_atom_t saved = XCB_ATOM_NONE;
        // Only what it reads now counts: a paste made earlier is no proof that it saved.
        const int answered = m_offer->textAnswers();
        xcb_convert_selection(m_connection, m_window, manager, m_atoms->atom("SAVE_TARGETS"),
            m_atoms->atom("ORVANE_SELECTION"), XCB_CURRENT_TIME);
        const bool replied = waitFor(
            [&](const xcb_generic_event_t *event) {
                const auto *notify = reinterpret_cast<const xcb_selection_notify_event_t *>(event);
                if (eventType(event) != XCB_SELECTION_NOTIFY || notify->selection != manager)
                    return false;
                saved = notify->property;
                return true;
            },
            managerTimeoutMs, false);
        if (replied && saved != XCB_ATOM_NONE && m_offer->textAnswers() > answered)
            return;
    }

    if (!startKeeper(keeperProgram, m_offer->text(), m_offer->since()))
        return;
    // We go on serving until the keeper has the clipboard: no paste in between finds it empty.
    waitFor(
        [&](const xcb_generic_event_t *event) {
            const auto *clear = reinterpret_cast<const xcb_selection_clear_event_t *>(event);
            return eventType(event) == XCB_SELECTION_CLEAR
                && clear->selection == m_atoms->atom("CLIPBOARD");
        },
        keeperTimeoutMs, false);
}
