#include "capture/x11/monitors.h"

#include "capture/session/display_ids.h"

#include <algorithm>
#include <string_view>
#include <xcb/randr.h>

namespace lumatap::x11 {
namespace {

// A monitor's id, from its name: the name's atom would do within one server generation, but a
// server that all clients have left starts a new one and numbers its atoms afresh, so the id
// that `list` printed would name nothing by the time `video` asks for it. Two names of one
// screen that come out alike are told apart by their order.
DisplayID monitorID(std::string_view name, const std::vector<Monitor>& before, std::size_t count) {
    return session::displayID(name, [&](DisplayID id) {
        return std::any_of(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(count),
                           [&](const Monitor& m) { return m.id == id; });
    });
}

} // namespace

std::vector<Monitor> monitors(Connection& c) {
    std::vector<Monitor> all;
    if (c.hasExtension(&xcb_randr_id)) {
        // Both asked at once: the server reads the version first, and a server without 1.5
        // refuses the second request, whose error is then dropped.
        auto version = xcb_randr_query_version(c.get(), 1, 5);
        auto cookie = xcb_randr_get_monitors(c.get(), c.root(), 1);
        Reply<xcb_randr_query_version_reply_t> v(
            xcb_randr_query_version_reply(c.get(), version, nullptr));
        if (!v || (v->major_version == 1 && v->minor_version < 5)) {
            xcb_discard_reply(c.get(), cookie.sequence);
        } else {
            Reply<xcb_randr_get_monitors_reply_t> reply(
                xcb_randr_get_monitors_reply(c.get(), cookie, nullptr));
            if (reply) {
                std::vector<xcb_get_atom_name_cookie_t> names;
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                     xcb_randr_monitor_info_next(&it)) {
                    all.push_back({0, it.data->primary != 0, it.data->x, it.data->y, it.data->width,
                                   it.data->height});
                    names.push_back(xcb_get_atom_name(c.get(), it.data->name));
                }
                for (std::size_t i = 0; i < all.size(); ++i) {
                    Reply<xcb_get_atom_name_reply_t> name(
                        xcb_get_atom_name_reply(c.get(), names[i], nullptr));
                    std::string_view text;
                    if (name) {
                        text = {
                            xcb_get_atom_name_name(name.get()),
                            static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get()))};
                    }
                    all[i].id = monitorID(text, all, i);
                }
            }
        }
    }
    if (all.empty() && !xcb_connection_has_error(c.get())) {
        // Without monitors the screen itself is the one display; its root window id names it.
        const auto& s = c.screen();
        all.push_back({s.root, true, 0, 0, s.width_in_pixels, s.height_in_pixels});
    }
    return all;
}

std::optional<Monitor> mainMonitor(const std::vector<Monitor>& all) {
    for (const auto& m : all) {
        if (m.primary) {
            return m;
        }
    }
    if (all.empty()) {
        return std::nullopt;
    }
    return all.front();
}

} // namespace lumatap::x11
