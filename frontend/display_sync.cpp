// SPDX-License-Identifier: LGPL-2.1-or-later
#include "display_sync.h"

#include <cstdlib>

#include <QGuiApplication>
#include <xcb/xcb.h>

void waitUntilDisplayed()
{
    // Other platforms hand the paint over within the flush. The offscreen
    // one offers the X11 interface too, without a connection.
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 != nullptr ? x11->connection() : nullptr;
    if (connection == nullptr)
        return;
    // A round trip: the server answers only after handling every request
    // sent before it, the image of the repaint included.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}
