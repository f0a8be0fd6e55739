// Snapshot, display services and the window server's list on an X11 display.
//
// Displays are the RandR monitors, named by their name atoms. X11 has one coordinate space in
// device pixels, so a display's mode and its bounds are both the monitor rectangle.
#include "capture/platform.h"
#include "capture/pulse/pulse.h"
#include "capture/x11/processes.h"
#include "capture/x11/stream.h"
#include "capture/x11/windows.h"

#include <algorithm>
#include <map>

namespace lumatap::platform {
namespace {

std::vector<x11::Monitor> currentMonitors() {
    ErrorPtr error;
    auto connection = x11::Connection::shared(error);
    return connection ? x11::monitors(*connection) : std::vector<x11::Monitor>{};
}

std::optional<x11::Monitor> monitorNamed(DisplayID id) {
    for (const auto& m : currentMonitors()) {
        if (m.name == id) {
            return m;
        }
    }
    return std::nullopt;
}

bool isDesktop(x11::Connection& c, xcb_window_t window) {
    auto cookie =
        xcb_get_property(c.get(), 0, window, c.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 0, 64);
    x11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c.get(), cookie, nullptr));
    if (!reply || reply->format != 32) {
        return false;
    }
    auto* types = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::find(types, types + count, c.atom("_NET_WM_WINDOW_TYPE_DESKTOP")) != types + count;
}

} // namespace

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion) {
    ErrorPtr error;
    auto connection = x11::Connection::shared(error);
    if (!connection) {
        completion(nullptr, error);
        return;
    }
    auto content = std::make_shared<ShareableContent>();
    for (const auto& m : x11::monitors(*connection)) {
        content->displays.push_back(std::make_shared<const Display>(Display{m.name}));
    }
    std::map<ProcessID, std::shared_ptr<const RunningApplication>> owners;
    for (auto& facts : x11::describe(*connection, x11::clientWindows(*connection))) {
        if ((excludeDesktopWindows && facts.desktop) || (onScreenWindowsOnly && !facts.viewable)) {
            continue;
        }
        auto window = std::make_shared<Window>();
        window->windowID = facts.id;
        window->title = std::move(facts.title);
        window->frame = {static_cast<double>(facts.x), static_cast<double>(facts.y),
                         static_cast<double>(facts.width), static_cast<double>(facts.height)};
        window->windowLayer = facts.layer;
        window->isOnScreen = facts.viewable;
        if (facts.pid) {
            auto& owner = owners[*facts.pid];
            if (!owner) {
                owner = std::make_shared<const RunningApplication>(RunningApplication{
                    *facts.pid,
                    facts.windowClass ? *facts.windowClass : x11::processName(*facts.pid)});
                content->applications.push_back(owner);
            }
            window->owningApplication = owner;
        }
        content->windows.push_back(std::move(window));
    }
    // A host that owns no window, or plays only later, must still be found to be left out;
    // the snapshot asks no sound server, so that nothing hangs a picture on one.
    for (auto& process : x11::sessionProcesses()) {
        auto& owner = owners[process.pid];
        if (!owner) {
            owner = std::make_shared<const RunningApplication>(
                RunningApplication{process.pid, std::move(process.name)});
            content->applications.push_back(owner);
        }
    }
    completion(std::move(content), nullptr);
}

std::optional<DisplayMode> copyDisplayMode(DisplayID display) {
    auto m = monitorNamed(display);
    if (!m) {
        return std::nullopt;
    }
    return DisplayMode{static_cast<std::size_t>(m->width), static_cast<std::size_t>(m->height)};
}

Rect displayBounds(DisplayID display) {
    auto m = monitorNamed(display);
    if (!m) {
        return {};
    }
    return {static_cast<double>(m->x), static_cast<double>(m->y), static_cast<double>(m->width),
            static_cast<double>(m->height)};
}

DisplayID mainDisplayID() {
    auto m = x11::mainMonitor(currentMonitors());
    return m ? m->name : 0;
}

bool displayIsMain(DisplayID display) {
    auto m = x11::mainMonitor(currentMonitors());
    return m && m->name == display;
}

std::optional<DisplayID> displayWithPoint(Point p) {
    for (const auto& m : currentMonitors()) {
        if (p.x >= m.x && p.x < m.x + m.width && p.y >= m.y && p.y < m.y + m.height) {
            return m.name;
        }
    }
    return std::nullopt;
}

WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) {
    ErrorPtr error;
    auto connection = x11::Connection::shared(error);
    if (!connection) {
        return std::nullopt;
    }
    std::vector<WindowInfo> answer;
    if (options & windowListIncludingWindow) {
        auto cookie = xcb_get_window_attributes(connection->get(), relativeToWindow);
        x11::Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(connection->get(), cookie, nullptr));
        if (attributes) {
            answer.push_back({{std::string(windowNumberKey), std::int64_t{relativeToWindow}}});
        }
        return answer;
    }
    for (const auto& entry : x11::stacking(*connection)) {
        if ((options & windowListOnScreenOnly) && !entry.viewable) {
            continue;
        }
        if ((options & windowListExcludeDesktopElements) && isDesktop(*connection, entry.window)) {
            continue;
        }
        answer.push_back({{std::string(windowNumberKey), std::int64_t{entry.window}}});
    }
    return answer;
}

std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                     std::shared_ptr<const StreamConfiguration> configuration,
                                     std::shared_ptr<StreamDelegate> delegate) {
    // A stream that captures sound is the sound server's business; its pictures are not needed.
    if (configuration && configuration->capturesAudio.value_or(false)) {
        return pulse::createAudioStream(std::move(filter), std::move(configuration),
                                        std::move(delegate));
    }
    return x11::createScreenStream(std::move(filter), std::move(configuration),
                                   std::move(delegate));
}

} // namespace lumatap::platform
