#include "capture/x11/frame_extents.h"

#include <cstdint>
#include <cstring>

namespace lumatap::x11 {

xcb_get_property_cookie_t askFrameExtents(Connection& connection, xcb_window_t window) {
    return xcb_get_property(connection.get(), 0, window, connection.atom("_GTK_FRAME_EXTENTS"),
                            XCB_ATOM_CARDINAL, 0, 4);
}

Insets frameExtents(Connection& connection, xcb_get_property_cookie_t cookie, int width,
                    int height) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection.get(), cookie, nullptr));
    if (!reply || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) < 16) {
        return {};
    }
    std::uint32_t v[4];
    std::memcpy(v, xcb_get_property_value(reply.get()), sizeof v);
    // Another program wrote these; a margin as wide as the window would leave nothing to show.
    auto within = [](std::uint32_t a, std::uint32_t b, int side) {
        return a < static_cast<std::uint32_t>(side) && b < static_cast<std::uint32_t>(side) &&
               a + b < static_cast<std::uint32_t>(side);
    };
    if (width <= 0 || height <= 0 || !within(v[0], v[1], width) || !within(v[2], v[3], height)) {
        return {};
    }
    return {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
            static_cast<int>(v[3])};
}

} // namespace lumatap::x11
