#pragma once

#include "clipboard/Pasteboard.h"
#include "clipboard/XcbAtoms.h"

#include <QElapsedTimer>
#include <QString>

#include <vector>

// The plain text we hold on the CLIPBOARD selection, served to whoever asks: UTF-8 under
// UTF8_STRING and the text/plain names, Latin-1 under STRING and TEXT as X11 wants, and the
// TARGETS and TIMESTAMP that clipboard managers ask first; a copy put back whole also serves its
// styled formats, each under its own name with its own bytes. STRING is served but not listed:
// XWayland bridges hand a Wayland reader of text/plain whatever STRING gives when it is listed.
// Text too large for one request is sent in pieces (INCR), one piece each time the requestor has
// taken the previous one.
class XcbTextOffer
{
public:
    XcbTextOffer(xcb_connection_t *connection, XcbAtoms &atoms, xcb_window_t window);

    void hold(const QString &text, xcb_timestamp_t since, const Pasteboard::Formats &formats = {});
    void release();
    bool isHeld() const { return m_held; }
    const QString &text() const { return m_text; }
    xcb_timestamp_t since() const { return m_since; }
    // How many times the text itself was handed out since it was taken.
    int textAnswers() const { return m_textAnswers; }

    void answer(const xcb_selection_request_event_t &request);
    // Sends the next piece of a large answer once its requestor has read the previous one.
    void propertyChanged(const xcb_property_notify_event_t &event);

    // Above this many bytes an answer goes in pieces.
    static constexpr int pieceBytes = 256 * 1024;

private:
    struct Transfer
    {
        xcb_window_t requestor = XCB_WINDOW_NONE;
        xcb_atom_t property = XCB_ATOM_NONE;
        xcb_atom_t type = XCB_ATOM_NONE;
        QByteArray data;
        qsizetype sent = 0;
        QElapsedTimer idle;
    };

    // The bytes, type and format for one target; false when we do not offer it.
    bool convert(xcb_atom_t target, QByteArray &bytes, xcb_atom_t &type, uint8_t &format);
    bool put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target);
    bool putEach(xcb_window_t requestor, xcb_atom_t property);
    void notify(const xcb_selection_request_event_t &request, xcb_atom_t property);

    xcb_connection_t *m_connection;
    XcbAtoms &m_atoms;
    xcb_window_t m_window;
    bool m_held = false;
    QString m_text;
    QList<std::pair<xcb_atom_t, QByteArray>> m_formats;
    xcb_timestamp_t m_since = XCB_CURRENT_TIME;
    int m_textAnswers = 0;
    std::vector<Transfer> m_transfers;
};
