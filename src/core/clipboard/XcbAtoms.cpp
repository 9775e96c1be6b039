#include "clipboard/XcbAtoms.h"

#include <cstdlib>
#include <vector>

XcbAtoms::XcbAtoms(xcb_connection_t *connection)
    : m_connection(connection)
{
}

xcb_atom_t XcbAtoms::atom(const QByteArray &name)
{
    const auto it = m_atoms.constFind(name);
    if (it != m_atoms.constEnd())
        return *it;
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(m_connection,
        xcb_intern_atom(m_connection, 0, uint16_t(name.size()), name.constData()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    if (atom != XCB_ATOM_NONE) {
        m_atoms.insert(name, atom);
        m_names.insert(atom, name);
    }
    return atom;
}

QList<QByteArray> XcbAtoms::names(const xcb_atom_t *atoms, int count)
{
    // Every unknown name is asked for before the first answer is awaited.
    std::vector<xcb_get_atom_name_cookie_t> cookies(static_cast<size_t>(count));
    std::vector<bool> asked(size_t(count), false);
    for (int i = 0; i < count; ++i) {
        if (atoms[i] != XCB_ATOM_NONE && !m_names.contains(atoms[i])) {
            cookies[size_t(i)] = xcb_get_atom_name(m_connection, atoms[i]);
            asked[size_t(i)] = true;
        }
    }
    QList<QByteArray> names;
    names.reserve(count);
    for (int i = 0; i < count; ++i) {
        if (asked[size_t(i)]) {
            xcb_get_atom_name_reply_t *reply
                = xcb_get_atom_name_reply(m_connection, cookies[size_t(i)], nullptr);
            if (reply) {
                const QByteArray name(
                    xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
                m_names.insert(atoms[i], name);
                m_atoms.insert(name, atoms[i]);
            }
            free(reply);
        }
        names.append(m_names.value(atoms[i]));
    }
    return names;
}
