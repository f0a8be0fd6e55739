#include "capture/gnome/shell.h"

#include "capture/session/display_ids.h"

#include <algorithm>
#include <map>
#include <set>
#include <systemd/sd-bus.h>

namespace lumatap::gnome {
namespace {

using dbus::Clock;
using dbus::Value;
using dbus::Values;

// Plain text, not strings made before main: a process started with too little memory must
// still end with its own error line, not the C++ runtime's.
constexpr const char* displayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* screenCast = screenCastName.data(); // a literal, so it ends in a NUL
constexpr const char* sessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* streamInterface = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* windowsBusName = windowsName.data();

ErrorPtr malformed(const std::string& what) {
    return makeError(std::string(errorDomain), shellFailed,
                     "GNOME Shell answered " + what + " with something unexpected");
}

const Value* at(const Values* items, std::size_t i) {
    return items && i < items->size() ? &(*items)[i] : nullptr;
}

std::int64_t integerAt(const Values* items, std::size_t i) {
    const Value* v = at(items, i);
    return v && v->integer() ? *v->integer() : 0;
}

std::string textOf(const Value* v) {
    const std::string* s = v ? v->text() : nullptr;
    return s ? *s : "";
}

Rect rectOf(const Value* v) {
    const Values* r = v ? v->items() : nullptr;
    if (!r || r->size() != 4) {
        return {};
    }
    return {static_cast<double>(integerAt(r, 0)), static_cast<double>(integerAt(r, 1)),
            static_cast<double>(integerAt(r, 2)), static_cast<double>(integerAt(r, 3))};
}

// The current mode's pixel size of each connector.
std::map<std::string, std::pair<std::size_t, std::size_t>> currentModes(const Values& monitors) {
    std::map<std::string, std::pair<std::size_t, std::size_t>> modes;
    for (const Value& m : monitors) {
        const Values* items = m.items();
        const Value* names = at(items, 0);
        const Value* list = at(items, 1);
        if (!names || !list || !list->items()) {
            continue;
        }
        std::string connector = textOf(at(names->items(), 0));
        for (const Value& mode : *list->items()) {
            const Values* fields = mode.items();
            const Value* props = at(fields, 6);
            const Value* current = props ? (*props)["is-current"] : nullptr;
            if (current && current->flag().value_or(false)) {
                modes[connector] = {
                    static_cast<std::size_t>(std::max<std::int64_t>(0, integerAt(fields, 1))),
                    static_cast<std::size_t>(std::max<std::int64_t>(0, integerAt(fields, 2)))};
            }
        }
    }
    return modes;
}

} // namespace

Rect visibleFrame(const ShellWindow& w) {
    if (w.buffer.width <= 0 || w.buffer.height <= 0) {
        return w.frame;
    }
    double left = std::max(w.frame.x, w.buffer.x);
    double top = std::max(w.frame.y, w.buffer.y);
    double right = std::min(w.frame.x + w.frame.width, w.buffer.x + w.buffer.width);
    double bottom = std::min(w.frame.y + w.frame.height, w.buffer.y + w.buffer.height);
    if (right <= left || bottom <= top) {
        return w.frame;
    }
    return {left, top, right - left, bottom - top};
}

ErrorPtr shellError(const std::string& what, const ErrorPtr& cause) {
    if (cause && cause->domain == dbus::errorDomain && cause->code == dbus::connectionLost) {
        return makeError(std::string(errorDomain), shellFailed,
                         "the session bus went away while asking GNOME Shell " + what);
    }
    if (cause && (cause->domain == SD_BUS_ERROR_SERVICE_UNKNOWN ||
                  cause->domain == SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
        return makeError(std::string(errorDomain), shellFailed,
                         "GNOME Shell is no longer on the session bus");
    }
    return makeError(std::string(errorDomain), shellFailed,
                     "GNOME Shell failed " + what + ": " +
                         (cause ? cause->description : std::string("no reason given")));
}

ErrorPtr notAllowed() {
    return makeError(std::string(streamErrorDomain), userDeclinedCode,
                     "lumatap's GNOME Shell extension is not running");
}

std::optional<std::vector<Monitor>> monitors(dbus::Bus& bus, ErrorPtr& error) {
    ErrorPtr cause;
    auto state = bus.call(displayConfig, "/org/gnome/Mutter/DisplayConfig", displayConfig,
                          "GetCurrentState", nullptr, timeout, cause);
    if (!state) {
        error = shellError("for its monitors", cause);
        return std::nullopt;
    }
    const Values* physical = at(&*state, 1) ? at(&*state, 1)->items() : nullptr;
    const Values* logical = at(&*state, 2) ? at(&*state, 2)->items() : nullptr;
    const Value* props = at(&*state, 3);
    if (!physical || !logical) {
        error = malformed("GetCurrentState");
        return std::nullopt;
    }
    // In the physical layout mode places are in pixels already; in the logical one (the
    // default) a monitor of scale 2 takes half its pixels' width in the desktop.
    const Value* layout = props ? (*props)["layout-mode"] : nullptr;
    bool logicalLayout = !layout || layout->integer().value_or(1) != 2;
    auto modes = currentModes(*physical);
    std::vector<Monitor> found;
    for (const Value& l : *logical) {
        const Values* fields = l.items();
        const Value* members = at(fields, 5);
        if (!fields || fields->size() < 6 || !members || !members->items()) {
            error = malformed("GetCurrentState");
            return std::nullopt;
        }
        double scale = at(fields, 2)->number().value_or(1);
        std::int64_t transform = integerAt(fields, 3);
        bool primary = at(fields, 4)->flag().value_or(false);
        for (const Value& names : *members->items()) {
            Monitor m;
            m.connector = textOf(at(names.items(), 0));
            auto mode = modes.find(m.connector);
            if (m.connector.empty() || mode == modes.end()) {
                continue;
            }
            m.pixelWidth = mode->second.first;
            m.pixelHeight = mode->second.second;
            // Turned a quarter (90 or 270 degrees, flipped or not), a monitor shows its mode
            // on its side.
            if (transform % 2 == 1) {
                std::swap(m.pixelWidth, m.pixelHeight);
            }
            double factor = logicalLayout && scale > 0 ? scale : 1;
            m.bounds = {static_cast<double>(integerAt(fields, 0)),
                        static_cast<double>(integerAt(fields, 1)), m.pixelWidth / factor,
                        m.pixelHeight / factor};
            m.primary = primary;
            found.push_back(std::move(m));
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Monitor& a, const Monitor& b) { return a.connector < b.connector; });
    std::set<DisplayID> taken;
    for (Monitor& m : found) {
        m.id = session::displayID(m.connector, [&](DisplayID id) { return taken.count(id) > 0; });
        taken.insert(m.id);
    }
    return found;
}

std::optional<std::vector<ShellWindow>> windows(dbus::Bus& bus, ErrorPtr& error) {
    ErrorPtr cause;
    auto answer = bus.call(windowsBusName, "/io/github/lumatap/Windows", windowsBusName, "List",
                           nullptr, timeout, cause);
    if (!answer) {
        if (cause && (cause->domain == SD_BUS_ERROR_SERVICE_UNKNOWN ||
                      cause->domain == SD_BUS_ERROR_NAME_HAS_NO_OWNER ||
                      cause->domain == SD_BUS_ERROR_UNKNOWN_OBJECT ||
                      cause->domain == SD_BUS_ERROR_UNKNOWN_METHOD)) {
            error = notAllowed();
        } else {
            error = shellError("for its windows", cause);
        }
        return std::nullopt;
    }
    const Values* list = at(&*answer, 0) ? at(&*answer, 0)->items() : nullptr;
    if (!list) {
        error = malformed("the window list");
        return std::nullopt;
    }
    std::vector<ShellWindow> found;
    for (const Value& entry : *list) {
        const Value* id = entry["id"];
        if (!id || !std::holds_alternative<std::uint64_t>(id->data)) {
            continue;
        }
        ShellWindow w;
        w.id = std::get<std::uint64_t>(id->data);
        w.title = textOf(entry["title"]);
        // What the shell calls the program: its .desktop Name, else its application id, else
        // its class, as the shell's own window-backed applications are named.
        for (const char* key : {"app", "app-id", "class"}) {
            if (w.app.empty()) {
                w.app = textOf(entry[key]);
            }
        }
        const Value* pid = entry["pid"];
        w.pid = pid && pid->integer() ? static_cast<ProcessID>(*pid->integer()) : 0;
        w.frame = rectOf(entry["frame"]);
        w.buffer = rectOf(entry["buffer"]);
        const Value* type = entry["type"];
        w.type = type && type->integer() ? static_cast<std::uint32_t>(*type->integer()) : 0;
        const Value* minimized = entry["minimized"];
        w.minimized = minimized && minimized->flag().value_or(false);
        const Value* active = entry["on-active-workspace"];
        w.onActiveWorkspace = !active || active->flag().value_or(true);
        found.push_back(std::move(w));
    }
    return found;
}

std::optional<ProcessID> windowsOwner(dbus::Bus& bus, ErrorPtr& error) {
    ErrorPtr cause;
    auto answer = bus.call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "s", windowsName.data()); },
        timeout, cause);
    if (!answer || answer->empty() || !answer->front().integer()) {
        error = cause && cause->domain == SD_BUS_ERROR_NAME_HAS_NO_OWNER
                    ? notAllowed()
                    : shellError("for its process", cause);
        return std::nullopt;
    }
    return static_cast<ProcessID>(*answer->front().integer());
}

std::unique_ptr<Cast> Cast::ofMonitor(dbus::Bus& bus, const std::string& connector, Cursor cursor,
                                      ErrorPtr& error) {
    auto mode = static_cast<std::uint32_t>(cursor);
    return start(
        std::unique_ptr<Cast>(new Cast(bus)), "RecordMonitor",
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "sa{sv}", connector.c_str(), 1, "cursor-mode", "u",
                                         mode);
        },
        error);
}

std::unique_ptr<Cast> Cast::ofWindow(dbus::Bus& bus, std::uint64_t window, Cursor cursor,
                                     ErrorPtr& error) {
    auto mode = static_cast<std::uint32_t>(cursor);
    return start(
        std::unique_ptr<Cast>(new Cast(bus)), "RecordWindow",
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "a{sv}", 2, "window-id", "t", window, "cursor-mode",
                                         "u", mode);
        },
        error);
}

std::unique_ptr<Cast> Cast::start(std::unique_ptr<Cast> cast, const std::string& method,
                                  const dbus::Bus::Append& append, ErrorPtr& error) {
    dbus::Bus& bus = cast->bus_;
    ErrorPtr cause;
    auto created = bus.call(
        screenCast, "/org/gnome/Mutter/ScreenCast", screenCast, "CreateSession",
        [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 0); }, timeout, cause);
    if (!created || created->empty() || !created->front().text()) {
        error = shellError("to start a screen cast", cause);
        return nullptr;
    }
    cast->session_ = *created->front().text();
    Cast* c = cast.get();
    cast->closedSignal_ = bus.subscribe(
        screenCast, cast->session_, sessionInterface, "Closed",
        [c](const Values&) { c->closed_ = true; }, cause);
    auto recorded = cast->closedSignal_ ? bus.call(screenCast, cast->session_, sessionInterface,
                                                   method, append, timeout, cause)
                                        : std::nullopt;
    if (!recorded || recorded->empty() || !recorded->front().text()) {
        // A window or monitor that went meanwhile is refused with an ordinary D-Bus error.
        error = cause && cause->domain != dbus::errorDomain
                    ? makeError(std::string(errorDomain), sourceStopped,
                                "the source is gone: " + cause->description)
                    : shellError("to record", cause);
        return nullptr;
    }
    cast->stream_ = *recorded->front().text();
    cast->nodeSignal_ = bus.subscribe(
        screenCast, cast->stream_, streamInterface, "PipeWireStreamAdded",
        [c](const Values& args) {
            if (!args.empty() && args.front().integer()) {
                c->node_ = static_cast<std::uint32_t>(*args.front().integer());
            }
        },
        cause);
    if (!cast->nodeSignal_ ||
        !bus.call(screenCast, cast->session_, sessionInterface, "Start", nullptr, timeout, cause)) {
        error = shellError("to start a screen cast", cause);
        return nullptr;
    }
    cast->started_ = true;
    if (!bus.process([c] { return c->node_ != 0 || c->closed_; }, Clock::now() + timeout, cause)) {
        error = shellError("for the screen cast's stream", cause);
        return nullptr;
    }
    if (c->closed_) {
        error = makeError(std::string(errorDomain), sourceStopped,
                          "the shell closed the screen cast at its start");
        return nullptr;
    }
    if (c->node_ == 0) {
        error = makeError(std::string(errorDomain), shellFailed,
                          "GNOME Shell gave the screen cast no stream in time");
        return nullptr;
    }
    return cast;
}

bool Cast::closed() {
    ErrorPtr ignored;
    if (!closed_ && !bus_.process(nullptr, Clock::now(), ignored)) {
        closed_ = true;
    }
    return closed_;
}

Cast::~Cast() {
    // The shell also ends a session whose caller leaves the bus, however it leaves; stopping
    // it here only makes that sooner.
    if (!session_.empty() && !closed_) {
        ErrorPtr ignored;
        bus_.call(screenCast, session_, sessionInterface, "Stop", nullptr,
                  std::chrono::milliseconds(500), ignored);
    }
}

} // namespace lumatap::gnome
