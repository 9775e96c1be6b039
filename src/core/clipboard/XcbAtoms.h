#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

#include <xcb/xcb.h>

// Atom names and numbers of one X connection, each asked of the server once: an owner that
// offers thousands of targets costs one batch of requests, not one round trip per target.
class XcbAtoms
{
public:
    explicit XcbAtoms(xcb_connection_t *connection);

    xcb_atom_t atom(const QByteArray &name);
    // The names of these atoms, in order; an unknown atom gives an empty name.
    QList<QByteArray> names(const xcb_atom_t *atoms, int count);

private:
    xcb_connection_t *m_connection;
    QHash<QByteArray, xcb_atom_t> m_atoms;
    QHash<xcb_atom_t, QByteArray> m_names;
};
