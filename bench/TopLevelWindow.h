#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

// The mapped top-level window titled "OrvaneTavo", or none.
inline xcb_window_t findWindow(xcb_connection_t *c, xcb_window_t root)
{
    xcb_window_t found = XCB_WINDOW_NONE;
    xcb_query_tree_reply_t *tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree)
        return found;
    const xcb_window_t *children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
        xcb_get_window_attributes_reply_t *attributes = xcb_get_window_attributes_reply(
            c, xcb_get_window_attributes(c, children[i]), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attributes);
        xcb_get_property_reply_t *name = viewable ? xcb_get_property_reply(c,
                                             xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME,
                                                 XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
                                             nullptr)
                                                  : nullptr;
        if (name && xcb_get_property_value_length(name) == 10
            && std::memcmp(xcb_get_property_value(name), "OrvaneTavo", 10) == 0)
            found = children[i];
        free(name);
    }
    free(tree);
    return found;
}
