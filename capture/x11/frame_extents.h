// The invisible margin that a window drawing its own decorations (GTK 3 on a compositing
// desktop) leaves around itself for its shadow, as _GTK_FRAME_EXTENTS announces it. The window
// a user sees is the X window without that margin.
#pragma once

#include "capture/x11/connection.h"

#include <xcb/xcb.h>

namespace lumatap::x11 {

struct Insets {
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
};

// Asks for the window's margin; meant to go out with the other questions about the window.
xcb_get_property_cookie_t askFrameExtents(Connection& connection, xcb_window_t window);
// The answer, for a window of width by height: none where the property is absent or makes no
// sense for that size (a margin that would leave nothing visible).
Insets frameExtents(Connection& connection, xcb_get_property_cookie_t cookie, int width,
                    int height);

} // namespace lumatap::x11
