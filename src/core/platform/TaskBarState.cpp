#include "platform/TaskBarState.h"

#include <QGuiApplication>
#include <QList>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie
        = xcb_intern_atom(connection, false, static_cast<uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// Before the window is mapped its state is ours to write; Qt keeps what it finds there when it
// maps the window.
void writeState(
    xcb_connection_t *connection, xcb_window_t window, xcb_atom_t state, xcb_atom_t skip, bool on)
{
    QList<xcb_atom_t> atoms;
    const xcb_get_property_cookie_t cookie
        = xcb_get_property(connection, false, window, state, XCB_ATOM_ATOM, 0, 1024);
    if (xcb_get_property_reply_t *reply = xcb_get_property_reply(connection, cookie, nullptr)) {
        if (reply->type == XCB_ATOM_ATOM && reply->format == 32) {
            const auto *values = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply));
            atoms = QList<xcb_atom_t>(values, values + xcb_get_property_value_length(reply) / 4);
        }
        std::free(reply);
    }
    atoms.removeAll(skip);
    if (on)
        atoms.append(skip);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, state, XCB_ATOM_ATOM, 32,
        static_cast<uint32_t>(atoms.size()), atoms.constData());
}

// Once it is mapped the window manager owns the state, and is asked to change it.
void requestState(
    xcb_connection_t *connection, xcb_window_t window, xcb_atom_t state, xcb_atom_t skip, bool on)
{
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = state;
    message.data.data32[0] = on ? 1 : 0; // add or remove
    message.data.data32[1] = skip;
    message.data.data32[3] = 1; // asked by a normal application
    xcb_send_event(connection, false, screen->root,
        XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
        reinterpret_cast<const char *>(&message));
}

} // namespace

namespace TaskBarState {

void setSkipTaskBar(QWindow *window, bool skip)
{
    const auto *x11
        = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window)
        return;
    const xcb_atom_t state = atom(connection, "_NET_WM_STATE");
    const xcb_atom_t skipAtom = atom(connection, "_NET_WM_STATE_SKIP_TASKBAR");
    if (state == XCB_ATOM_NONE || skipAtom == XCB_ATOM_NONE)
        return;
    const auto id = static_cast<xcb_window_t>(window->winId());
    if (window->isVisible())
        requestState(connection, id, state, skipAtom, skip);
    else
        writeState(connection, id, state, skipAtom, skip);
    xcb_flush(connection);
}

} // namespace TaskBarState
