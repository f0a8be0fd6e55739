#include "capture/x11/window_facts.h"

#include "capture/x11/ewmh.h"
#include "capture/x11/frame_extents.h"
#include "capture/x11/host.h"
#include "capture/x11/text.h"

#include <xcb/res.h>

namespace lumatap::x11 {
namespace {

std::optional<ProcessID> resourcePid(const xcb_res_query_client_ids_reply_t* reply) {
    if (!reply) {
        return std::nullopt;
    }
    // Only process ids were asked for, so every value that came back is one.
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem;
         xcb_res_client_id_value_next(&it)) {
        if (xcb_res_client_id_value_value_length(it.data) >= 1) {
            return static_cast<ProcessID>(*xcb_res_client_id_value_value(it.data));
        }
    }
    return std::nullopt;
}

} // namespace

std::vector<WindowFacts> describe(Connection& c, const std::vector<xcb_window_t>& ids,
                                  ErrorPtr& error) {
    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t netName, name, type, state, wmClass, pid, wmState, desktop,
            extents, machine;
        std::optional<xcb_res_query_client_ids_cookie_t> owner;
    };
    preloadWindowAtoms(c);
    xcb_connection_t* x = c.get();
    bool resources = c.hasExtension(&xcb_res_id);
    xcb_atom_t utf8 = c.atom("UTF8_STRING");
    xcb_atom_t compoundText = c.atom("COMPOUND_TEXT");
    // Ask everything first and read the answers after, so that the whole list costs about one
    // round trip instead of several per window.
    auto desktopCookie =
        askProperty(x, c.root(), c.atom("_NET_CURRENT_DESKTOP"), XCB_ATOM_CARDINAL, 1);
    std::vector<Pending> pending;
    pending.reserve(ids.size());
    for (xcb_window_t id : ids) {
        pending.push_back({xcb_get_window_attributes(x, id), xcb_get_geometry(x, id),
                           xcb_translate_coordinates(x, id, c.root(), 0, 0),
                           askProperty(x, id, c.atom("_NET_WM_NAME"), utf8),
                           askProperty(x, id, XCB_ATOM_WM_NAME, XCB_ATOM_ANY),
                           askProperty(x, id, c.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 64),
                           askProperty(x, id, c.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 64),
                           askProperty(x, id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 1024),
                           askProperty(x, id, c.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 1),
                           askProperty(x, id, c.atom("WM_STATE"), XCB_ATOM_ANY, 2),
                           askProperty(x, id, c.atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 1),
                           askProperty(x, id, c.atom("_GTK_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 4),
                           askProperty(x, id, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_ANY, 256),
                           std::nullopt});
        if (resources) {
            xcb_res_client_id_spec_t query{id, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            pending.back().owner = xcb_res_query_client_ids(x, 1, &query);
        }
    }
    auto currentDesktop = cardinal(answerProperty(x, desktopCookie).get());
    std::string localHost = hostName();
    std::vector<WindowFacts> facts;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Pending& p = pending[i];
        auto attributes = Reply<xcb_get_window_attributes_reply_t>(
            xcb_get_window_attributes_reply(x, p.attributes, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x, p.geometry, nullptr));
        Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(x, p.origin, nullptr));
        auto netNameReply = answerProperty(x, p.netName);
        auto nameReply = answerProperty(x, p.name);
        auto typeReply = answerProperty(x, p.type);
        auto stateReply = answerProperty(x, p.state);
        auto classReply = answerProperty(x, p.wmClass);
        auto pidReply = answerProperty(x, p.pid);
        auto wmStateReply = answerProperty(x, p.wmState);
        auto desktopReply = answerProperty(x, p.desktop);
        auto machineReply = answerProperty(x, p.machine);
        Reply<xcb_res_query_client_ids_reply_t> ownerReply(
            p.owner ? xcb_res_query_client_ids_reply(x, *p.owner, nullptr) : nullptr);
        if (!attributes || !geometry || !origin) {
            continue;
        }
        WindowFacts f;
        f.id = ids[i];
        f.x = origin->dst_x;
        f.y = origin->dst_y;
        f.width = geometry->width;
        f.height = geometry->height;
        // A program that draws its own title bar (GTK on a compositing desktop) makes its
        // window larger than what shows, for an invisible shadow around it: that margin is
        // not part of the window a person sees.
        Insets margin = frameExtents(c, p.extents, f.width, f.height);
        f.x += margin.left;
        f.y += margin.top;
        f.width -= margin.left + margin.right;
        f.height -= margin.top + margin.bottom;
        f.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                     !hiddenByManager(c, wmStateReply.get(), stateReply.get(), desktopReply.get(),
                                      currentDesktop);
        if (netNameReply && netNameReply->type == utf8) {
            f.title = propertyText(netNameReply.get());
        } else if (nameReply && nameReply->type != XCB_ATOM_NONE) {
            std::string name = propertyText(nameReply.get());
            if (nameReply->type == XCB_ATOM_STRING) {
                f.title = latin1ToUtf8(name);
            } else if (nameReply->type == compoundText) {
                f.title = compoundTextToUtf8(name);
            } else {
                f.title = std::move(name);
            }
        }
        auto types = cardinals(typeReply.get());
        f.desktop = containsAtom(types, c.atom("_NET_WM_WINDOW_TYPE_DESKTOP"));
        f.layer = layerOf(c, types, attributes->override_redirect);
        if (classReply && classReply->type == XCB_ATOM_STRING) {
            // WM_CLASS holds the instance name and then the class name, each ending in a NUL.
            std::string both = propertyText(classReply.get());
            auto split = both.find('\0');
            std::string instance = both.substr(0, split);
            if (!instance.empty()) {
                f.instance = latin1ToUtf8(instance);
            }
            if (split != std::string::npos) {
                std::string cls = both.substr(split + 1);
                if (auto end = cls.find('\0'); end != std::string::npos) {
                    cls.resize(end);
                }
                if (!cls.empty()) {
                    f.windowClass = latin1ToUtf8(cls);
                }
            }
        }
        f.pid = resourcePid(ownerReply.get());
        // A client that the server knows no local process of (one over TCP) may still name
        // its process itself; that number means a process here only when it runs here.
        if (!f.pid && (!machineReply || machineReply->type == XCB_ATOM_NONE ||
                       propertyText(machineReply.get()) == localHost)) {
            if (auto pid = cardinal(pidReply.get()); pid && *pid > 0 && *pid <= INT32_MAX) {
                f.pid = static_cast<ProcessID>(*pid);
            }
        }
        facts.push_back(std::move(f));
    }
    if (xcb_connection_has_error(x)) {
        error = connectionLost();
        return {};
    }
    return facts;
}

} // namespace lumatap::x11
