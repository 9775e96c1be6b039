#include "clipboard/XcbTextOffer.h"

#include <algorithm>

namespace {

// A requestor that stops reading a large answer is given up on after this long.
constexpr int transferIdleMs = 5000;
// So that requestors that never finish cannot pile up copies of the text.
constexpr size_t maxTransfers = 8;

} // namespace

XcbTextOffer::XcbTextOffer(xcb_connection_t *connection, XcbAtoms &atoms, xcb_window_t window)
    : m_connection(connection)
    , m_atoms(atoms)
    , m_window(window)
{
}

void XcbTextOffer::hold(
    const QString &text, xcb_timestamp_t since, const Pasteboard::Formats &formats)
{
    m_held = true;
    m_text = text;
    m_formats.clear();
    for (const auto &[name, bytes] : formats)
        m_formats.append({m_atoms.atom(name.toUtf8()), bytes});
    m_since = since;
    m_textAnswers = 0;
}

void XcbTextOffer::release()
{
    // Transfers already started finish with the text they began with.
    m_held = false;
    m_text.clear();
    m_formats.clear();
}

bool XcbTextOffer::convert(xcb_atom_t target, QByteArray &bytes, xcb_atom_t &type, uint8_t &format)
{
    format = 8;
    const auto styled = std::find_if(
        m_formats.begin(), m_formats.end(), [&](const auto &kept) { return kept.first == target; });
    if (styled != m_formats.end()) {
        bytes = styled->second;
        type = target;
    } else if (target == m_atoms.atom("TARGETS")) {
        QList<xcb_atom_t> targets{m_atoms.atom("TARGETS"), m_atoms.atom("MULTIPLE"),
            m_atoms.atom("TIMESTAMP"), m_atoms.atom("UTF8_STRING"),
            m_atoms.atom("text/plain;charset=utf-8"), m_atoms.atom("text/plain"),
            m_atoms.atom("TEXT")};
        for (const auto &kept : m_formats)
            targets.append(kept.first);
        bytes = QByteArray(reinterpret_cast<const char *>(targets.constData()),
            targets.size() * qsizetype(sizeof(xcb_atom_t)));
        type = XCB_ATOM_ATOM;
        format = 32;
    } else if (target == m_atoms.atom("TIMESTAMP")) {
        bytes = QByteArray(reinterpret_cast<const char *>(&m_since), sizeof m_since);
        type = XCB_ATOM_INTEGER;
        format = 32;
    } else if (target == m_atoms.atom("UTF8_STRING")
        || target == m_atoms.atom("text/plain;charset=utf-8")
        || target == m_atoms.atom("text/plain")) {
        bytes = m_text.toUtf8();
        type = target;
        ++m_textAnswers;
    } else if (target == XCB_ATOM_STRING || target == m_atoms.atom("TEXT")) {
        // Characters outside Latin-1 become '?', as X11 defines STRING.
        bytes = m_text.toLatin1();
        type = XCB_ATOM_STRING;
        ++m_textAnswers;
    } else {
        return false;
    }
    return true;
}

bool XcbTextOffer::put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target)
{
    QByteArray bytes;
    xcb_atom_t type = XCB_ATOM_NONE;
    uint8_t format = 8;
    if (!convert(target, bytes, type, format))
        return false;
    if (bytes.size() <= pieceBytes) {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property, type, format,
            uint32_t(bytes.size() / (format / 8)), bytes.constData());
        return true;
    }
    // The requestor deletes the INCR property to ask for the first piece; we must hear it.
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(m_connection, requestor, XCB_CW_EVENT_MASK, &mask);
    const uint32_t size = uint32_t(bytes.size());
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property,
        m_atoms.atom("INCR"), 32, 1, &size);
    if (m_transfers.size() >= maxTransfers)
        m_transfers.erase(m_transfers.begin());
    Transfer transfer;
    transfer.requestor = requestor;
    transfer.property = property;
    transfer.type = type;
    transfer.data = bytes;
    transfer.idle.start();
    m_transfers.push_back(std::move(transfer));
    return true;
}

void XcbTextOffer::notify(const xcb_selection_request_event_t &request, xcb_atom_t property)
{
    // The server takes every event as 32 bytes, more than the notice's own structure.
    union {
        xcb_selection_notify_event_t event;
        char bytes[32];
    } notice{};
    notice.event.response_type = XCB_SELECTION_NOTIFY;
    notice.event.time = request.time;
    notice.event.requestor = request.requestor;
    notice.event.selection = request.selection;
    notice.event.target = request.target;
    notice.event.property = property;
    xcb_send_event(m_connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, notice.bytes);
    xcb_flush(m_connection);
}

void XcbTextOffer::answer(const xcb_selection_request_event_t &request)
{
    // Requestors from before the ICCCM name no property: the target's name serves as one.
    const xcb_atom_t property
        = request.property == XCB_ATOM_NONE ? request.target : request.property;
    const bool ours
        = m_held && request.owner == m_window && request.selection == m_atoms.atom("CLIPBOARD");
    const bool served = ours
        && (request.target == m_atoms.atom("MULTIPLE")
                ? putEach(request.requestor, property)
                : put(request.requestor, property, request.target));
    notify(request, served ? property : xcb_atom_t(XCB_ATOM_NONE));
}

bool XcbTextOffer::putEach(xcb_window_t requestor, xcb_atom_t property)
{
    // Clipboard managers ask for several targets at once: the property lists (target, property)
    // pairs, and each pair we cannot serve goes back with None in place of its property.
    xcb_get_property_reply_t *reply = xcb_get_property_reply(m_connection,
        xcb_get_property(m_connection, 0, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
        nullptr);
    QList<xcb_atom_t> pairs;
    if (reply && reply->format == 32) {
        const auto *values = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply));
        pairs = QList<xcb_atom_t>(values, values + xcb_get_property_value_length(reply) / 4);
    }
    free(reply);
    if (pairs.isEmpty() || pairs.size() % 2 != 0)
        return false;
    for (qsizetype i = 0; i < pairs.size(); i += 2) {
        const bool served = pairs[i + 1] != XCB_ATOM_NONE && pairs[i] != m_atoms.atom("MULTIPLE")
            && put(requestor, pairs[i + 1], pairs[i]);
        if (!served)
            pairs[i + 1] = XCB_ATOM_NONE;
    }
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, requestor, property,
        m_atoms.atom("ATOM_PAIR"), 32, uint32_t(pairs.size()), pairs.constData());
    return true;
}

void XcbTextOffer::propertyChanged(const xcb_property_notify_event_t &event)
{
    std::erase_if(m_transfers,
        [](const Transfer &transfer) { return transfer.idle.elapsed() > transferIdleMs; });
    if (event.state != XCB_PROPERTY_DELETE)
        return;
    const auto it = std::find_if(m_transfers.begin(), m_transfers.end(),
        [&](const Transfer &t) { return t.requestor == event.window && t.property == event.atom; });
    if (it == m_transfers.end())
        return;
    // The last piece is followed by an empty one, which tells the requestor it has it all.
    const qsizetype length = std::min<qsizetype>(pieceBytes, it->data.size() - it->sent);
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type,
        8, uint32_t(length), it->data.constData() + it->sent);
    xcb_flush(m_connection);
    it->sent += length;
    it->idle.restart();
    if (length != 0)
        return;
    const xcb_window_t requestor = it->requestor;
    m_transfers.erase(it);
    const bool more = std::any_of(m_transfers.begin(), m_transfers.end(),
        [&](const Transfer &t) { return t.requestor == requestor; });
    if (!more) {
        const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(m_connection, requestor, XCB_CW_EVENT_MASK, &none);
    }
}
