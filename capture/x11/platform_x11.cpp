// Snapshot, display services and the window server's list on an X11 display.
//
// Displays are the RandR monitors, named by their name atoms. X11 has one coordinate space in
// device pixels, so a display's mode and its bounds are both the monitor rectangle.
#include "capture/x11/platform_x11.h"

#include "capture/session/processes.h"
#include "capture/x11/monitors.h"
#include "capture/x11/stream.h"
#include "capture/x11/window_facts.h"
#include "capture/x11/windows.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

namespace lumatap::x11 {
namespace {

// The owner of a window whose client the server knows no local process of: no process id of
// this machine, and so neither the host's nor the tool's, is ever this.
constexpr ProcessID unknownProcess = -1;

// What a snapshot read, kept for the questions asked about the same moment right after it: a
// listing asks for the size, place and role of every display, for the display under every
// window and for the stacking order, and a round trip for each would make it cost in
// proportion to the windows. It also means that a listing is built from what the server said
// while it answered, never in part from a connection lost since. Older than this, it is read
// afresh.
constexpr auto momentFresh = std::chrono::milliseconds(100);

struct StackedWindow {
    xcb_window_t window = XCB_WINDOW_NONE;
    bool viewable = false;
    bool desktop = false;
};

struct Moment {
    std::mutex mutex;
    std::vector<x11::Monitor> monitors;
    std::chrono::steady_clock::time_point monitorsRead;
    std::optional<std::vector<StackedWindow>> stacking;
    std::chrono::steady_clock::time_point stackingRead;
};

Moment& known() {
    static Moment moment;
    return moment;
}

void remember(std::vector<x11::Monitor> monitors, std::vector<StackedWindow> stacking) {
    auto& memo = known();
    std::lock_guard lock(memo.mutex);
    memo.monitors = std::move(monitors);
    memo.stacking = std::move(stacking);
    memo.monitorsRead = memo.stackingRead = std::chrono::steady_clock::now();
}

// The stacking order the last snapshot saw, if it is fresh.
std::optional<std::vector<StackedWindow>> rememberedStacking() {
    auto& memo = known();
    std::lock_guard lock(memo.mutex);
    if (std::chrono::steady_clock::now() - memo.stackingRead > momentFresh) {
        return std::nullopt;
    }
    return memo.stacking;
}

std::vector<x11::Monitor> currentMonitors() {
    ErrorPtr error;
    auto connection = x11::Connection::shared(error);
    if (!connection) {
        return {};
    }
    auto& memo = known();
    std::lock_guard lock(memo.mutex);
    auto now = std::chrono::steady_clock::now();
    if (memo.monitors.empty() || now - memo.monitorsRead > momentFresh) {
        memo.monitors = x11::monitors(*connection);
        memo.monitorsRead = now;
    }
    return memo.monitors;
}

std::optional<x11::Monitor> monitorNamed(DisplayID id) {
    for (const auto& m : currentMonitors()) {
        if (m.id == id) {
            return m;
        }
    }
    return std::nullopt;
}

// Which of `windows` are the desktop (the window that draws the background), all asked at once.
std::vector<bool> desktops(x11::Connection& c, const std::vector<xcb_window_t>& windows) {
    xcb_connection_t* x = c.get();
    xcb_atom_t type = c.atom("_NET_WM_WINDOW_TYPE");
    xcb_atom_t desktop = c.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (xcb_window_t window : windows) {
        cookies.push_back(xcb_get_property(x, 0, window, type, XCB_ATOM_ATOM, 0, 64));
    }
    std::vector<bool> found;
    found.reserve(windows.size());
    for (auto cookie : cookies) {
        x11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(x, cookie, nullptr));
        bool isDesktop = false;
        if (reply && reply->format == 32) {
            auto* types = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
            int count = xcb_get_property_value_length(reply.get()) / 4;
            isDesktop = std::find(types, types + count, desktop) != types + count;
        }
        found.push_back(isDesktop);
    }
    return found;
}

} // namespace

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         platform::ContentCompletion completion) {
    ErrorPtr error;
    auto connection = x11::Connection::shared(error);
    if (!connection) {
        completion(nullptr, error);
        return;
    }
    auto content = std::make_shared<ShareableContent>();
    auto monitors = x11::monitors(*connection);
    for (const auto& m : monitors) {
        content->displays.push_back(std::make_shared<const Display>(Display{m.id}));
    }
    auto tree = x11::windowTree(*connection, error);
    auto described =
        error ? std::vector<x11::WindowFacts>{} : x11::describe(*connection, tree.clients, error);
    if (error) {
        // A list read off a lost connection would hold made-up windows, or miss real ones.
        completion(nullptr, error);
        return;
    }
    std::map<xcb_window_t, const x11::WindowFacts*> factsOf;
    for (const auto& facts : described) {
        factsOf[facts.id] = &facts;
    }
    std::vector<StackedWindow> stacking;
    for (const auto& entry : tree.stacking) {
        auto facts = factsOf.find(entry.window);
        bool known = facts != factsOf.end();
        stacking.push_back({entry.window, entry.viewable && (!known || facts->second->viewable),
                            known && facts->second->desktop});
    }
    remember(std::move(monitors), std::move(stacking));
    session::Applications applications(*content);
    for (auto& facts : described) {
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
        // Each window is named by its own class: one process may show several programs (a
        // remote connection relays all the programs run through it). The process id is what
        // tells the host and the tool apart.
        ProcessID pid = facts.pid.value_or(unknownProcess);
        std::string name = facts.windowClass ? *facts.windowClass
                           : facts.pid       ? session::processName(*facts.pid)
                                             : facts.instance.value_or("");
        window->owningApplication =
            std::make_shared<const RunningApplication>(RunningApplication{pid, std::move(name)});
        applications.owner(facts.pid, window->owningApplication);
        content->windows.push_back(std::move(window));
    }
    applications.addSessionProcesses();
    completion(std::move(content), nullptr);
}

std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) {
    auto m = monitorNamed(display);
    if (!m) {
        return std::nullopt;
    }
    return platform::DisplayMode{static_cast<std::size_t>(m->width),
                                 static_cast<std::size_t>(m->height)};
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
    return m ? m->id : 0;
}

bool displayIsMain(DisplayID display) {
    auto m = x11::mainMonitor(currentMonitors());
    return m && m->id == display;
}

std::optional<DisplayID> displayWithPoint(Point p) {
    for (const auto& m : currentMonitors()) {
        if (p.x >= m.x && p.x < m.x + m.width && p.y >= m.y && p.y < m.y + m.height) {
            return m.id;
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
        // A server that can no longer be asked has not shown the window gone: its loss is
        // what the capture reports, not a closed window.
        if (attributes || xcb_connection_has_error(connection->get())) {
            answer.push_back({{std::string(windowNumberKey), std::int64_t{relativeToWindow}}});
        }
        return answer;
    }
    auto stacking = rememberedStacking();
    if (!stacking) {
        stacking.emplace();
        std::vector<xcb_window_t> windows;
        for (const auto& entry : x11::stacking(*connection)) {
            stacking->push_back({entry.window, entry.viewable, false});
            windows.push_back(entry.window);
        }
        if (options & windowListExcludeDesktopElements) {
            auto desktop = desktops(*connection, windows);
            for (std::size_t i = 0; i < stacking->size(); ++i) {
                (*stacking)[i].desktop = desktop[i];
            }
        }
    }
    for (const auto& entry : *stacking) {
        if ((options & windowListOnScreenOnly) && !entry.viewable) {
            continue;
        }
        if ((options & windowListExcludeDesktopElements) && entry.desktop) {
            continue;
        }
        answer.push_back({{std::string(windowNumberKey), std::int64_t{entry.window}}});
    }
    return answer;
}

std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                     std::shared_ptr<const StreamConfiguration> configuration,
                                     std::shared_ptr<StreamDelegate> delegate) {
    return x11::createScreenStream(std::move(filter), std::move(configuration),
                                   std::move(delegate));
}

// Written in still.cpp, where the pictures are read.
void captureImage(std::shared_ptr<const ContentFilter> filter,
                  std::shared_ptr<const StreamConfiguration> configuration,
                  platform::ImageCompletion completion);
std::optional<Bytes> encodePNG(const Image& image);

namespace {

class X11Platform : public Platform {
  public:
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             platform::ContentCompletion completion) override {
        x11::getShareableContent(excludeDesktopWindows, onScreenWindowsOnly, std::move(completion));
    }
    std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) override {
        return x11::copyDisplayMode(display);
    }
    Rect displayBounds(DisplayID display) override { return x11::displayBounds(display); }
    DisplayID mainDisplayID() override { return x11::mainDisplayID(); }
    bool displayIsMain(DisplayID display) override { return x11::displayIsMain(display); }
    std::optional<DisplayID> displayWithPoint(Point point) override {
        return x11::displayWithPoint(point);
    }
    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        return x11::copyWindowInfo(options, relativeToWindow);
    }
    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      platform::ImageCompletion completion) override {
        x11::captureImage(std::move(filter), std::move(configuration), std::move(completion));
    }
    std::optional<Bytes> encodePNG(const Image& image) override { return x11::encodePNG(image); }
    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        return x11::createStream(std::move(filter), std::move(configuration), std::move(delegate));
    }
};

} // namespace

std::unique_ptr<Platform> createPlatform() {
    return std::make_unique<X11Platform>();
}

} // namespace lumatap::x11
