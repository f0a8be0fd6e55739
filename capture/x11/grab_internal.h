// What the two sources of Grabber share: grab.cpp, which reads pixels, and grab_window.cpp,
// which works out what to read of a window. Not for other users.
#pragma once

#include "capture/x11/grab.h"

#include <string>
#include <utility>
#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

inline ErrorPtr failure(GrabFailure code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

// Whether an X error says that the window (or its pixmap) no longer exists.
inline bool gone(const xcb_generic_error_t& e) {
    return e.error_code == XCB_WINDOW || e.error_code == XCB_DRAWABLE || e.error_code == XCB_PIXMAP;
}

// A request whose answer nobody waits for; its error, if any, must not turn up later as an
// event on a connection that others read events from.
inline void forget(xcb_connection_t* c, xcb_void_cookie_t cookie) {
    xcb_discard_reply(c, cookie.sequence);
}

// Whether the bands lie within a picture of `height` rows, top to bottom, none empty.
inline bool fits(const std::vector<Band>& bands, std::size_t height) {
    std::size_t below = 0;
    for (const Band& band : bands) {
        if (band.top >= band.end || band.end > height || band.top < below) {
            return false;
        }
        below = band.top;
    }
    return true;
}

// The whole picture as one band, for the unbanded reads.
inline std::vector<Band> whole(std::size_t, std::size_t height) {
    return {{0, height}};
}

} // namespace lumatap::x11
