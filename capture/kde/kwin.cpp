#include "capture/kde/kwin.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace lumatap::kde {
namespace {

constexpr const char* kwinService = "org.kde.KWin";
// Where the script calls back: an object of this connection, under a name of its own.
constexpr const char* answerPath = "/lumatap/kwin";
constexpr const char* answerInterface = "lumatap.KWinWindows";

// Sent back whole as one JSON string: callDBus turns each argument into a D-Bus value on its
// own, and a string survives that unchanged where a nested list of maps does not. The token
// tells this run's answer from a late one of an earlier script.
constexpr std::string_view script = R"js((function () {
    var current = workspace.currentDesktop;
    var stack = workspace.stackingOrder;
    var list = [];
    for (var i = 0; i < stack.length; ++i) {
        var w = stack[i];
        if (!w || w.deleted) {
            continue;
        }
        var here = !!w.onAllDesktops;
        var desktops = w.desktops || [];
        for (var d = 0; !here && d < desktops.length; ++d) {
            here = !current || desktops[d].id === current.id;
        }
        var g = w.frameGeometry;
        list.push({
            uuid: String(w.internalId),
            title: String(w.caption || ""),
            resourceClass: String(w.resourceClass || ""),
            desktopFile: String(w.desktopFileName || ""),
            pid: Number(w.pid || 0),
            x: g.x, y: g.y, width: g.width, height: g.height,
            normal: !!(w.normalWindow || w.dialog) && !w.specialWindow,
            minimized: !!w.minimized,
            hidden: !!w.hidden,
            onCurrentDesktop: here,
            output: w.output ? String(w.output.name) : ""
        });
    }
    callDBus("@SERVICE@", "@PATH@", "@INTERFACE@", "windows", "@TOKEN@", JSON.stringify(list));
})();
)js";

ErrorPtr failure(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

std::string replaced(std::string text, std::string_view from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string message(const sd_bus_error& error, int r) {
    if (error.message) {
        return error.message;
    }
    if (error.name) {
        return error.name;
    }
    return std::strerror(-r);
}

// The script as a file KWin can read: KWin runs as this user, so the user's private runtime
// folder is the place, and /tmp without one.
class ScriptFile {
  public:
    explicit ScriptFile(const std::string& text) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string pattern =
            std::string(runtime && *runtime ? runtime : "/tmp") + "/lumatap-kwin-XXXXXX.js";
        int fd = ::mkstemps(pattern.data(), 3);
        if (fd < 0) {
            return;
        }
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (done == text.size()) {
            path_ = pattern;
        } else {
            ::unlink(pattern.c_str());
        }
    }
    ~ScriptFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    ScriptFile(const ScriptFile&) = delete;
    ScriptFile& operator=(const ScriptFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

} // namespace

struct KWin::Bus {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    std::string token; // the token of the run waiting for its answer
    std::optional<std::string> answer;

    ~Bus() {
        sd_bus_slot_unref(slot);
        sd_bus_flush_close_unref(bus);
    }

    static int onCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Bus*>(userdata);
        if (!sd_bus_message_is_method_call(m, answerInterface, "windows")) {
            return 0;
        }
        const char* token = nullptr;
        const char* json = nullptr;
        if (sd_bus_message_read(m, "ss", &token, &json) >= 0 && token && json &&
            self->token == token) {
            self->answer = json;
        }
        return sd_bus_reply_method_return(m, "");
    }

    // Calls KWin; false with `error` set when the call fails.
    bool call(const char* path, const char* interface, const char* method, sd_bus_message** reply,
              ErrorPtr& error, const char* types, const char* a = nullptr,
              const char* b = nullptr) {
        sd_bus_error e = SD_BUS_ERROR_NULL;
        int r = types ? sd_bus_call_method(bus, kwinService, path, interface, method, &e, reply,
                                           types, a, b)
                      : sd_bus_call_method(bus, kwinService, path, interface, method, &e, reply,
                                           nullptr);
        if (r < 0) {
            error =
                failure(busFailed, std::string("KWin refused ") + method + ": " + message(e, r));
        }
        sd_bus_error_free(&e);
        return r >= 0;
    }
};

KWin::KWin(std::unique_ptr<Bus> bus, std::chrono::milliseconds timeout)
    : bus_(std::move(bus)), timeout_(timeout) {
}

KWin::~KWin() = default;

std::unique_ptr<KWin> KWin::connect(ErrorPtr& error, std::chrono::milliseconds timeout) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address) {
        error = failure(noKWin, "DBUS_SESSION_BUS_ADDRESS is not set");
        return nullptr;
    }
    auto bus = std::make_unique<Bus>();
    int r = sd_bus_open_user(&bus->bus);
    if (r < 0) {
        error = failure(noKWin, std::string("no session bus: ") + std::strerror(-r));
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus->bus, static_cast<std::uint64_t>(timeout.count()) * 1000);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &e, &reply, "s", kwinService);
    int owned = 0;
    if (r >= 0) {
        r = sd_bus_message_read(reply, "b", &owned);
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        error = failure(noKWin, "the session bus does not answer: " + message(e, r));
        sd_bus_error_free(&e);
        return nullptr;
    }
    if (!owned) {
        error = failure(noKWin, "KWin is not on the session bus");
        return nullptr;
    }
    r = sd_bus_add_object(bus->bus, &bus->slot, answerPath, Bus::onCall, bus.get());
    if (r < 0) {
        error = failure(busFailed, std::string("cannot take calls: ") + std::strerror(-r));
        return nullptr;
    }
    return std::unique_ptr<KWin>(new KWin(std::move(bus), timeout));
}

std::optional<std::vector<KWinWindow>> KWin::windows(ErrorPtr& error) {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_->bus, &unique) < 0 || !unique) {
        error = failure(busFailed, "the session bus gave no name");
        return std::nullopt;
    }
    // A name no other run of this or any process uses: KWin refuses a second script of a
    // name it has loaded.
    std::string token = "lumatap_" + std::to_string(::getpid()) + "_" + std::to_string(++runs_);
    std::string text(script);
    text = replaced(text, "@SERVICE@", unique);
    text = replaced(text, "@PATH@", answerPath);
    text = replaced(text, "@INTERFACE@", answerInterface);
    text = replaced(text, "@TOKEN@", token);
    ScriptFile file(text);
    if (file.path().empty()) {
        error = failure(scriptFailed, "cannot write the window script");
        return std::nullopt;
    }
    bus_->token = token;
    bus_->answer.reset();

    sd_bus_message* reply = nullptr;
    if (!bus_->call("/Scripting", "org.kde.kwin.Scripting", "loadScript", &reply, error, "ss",
                    file.path().c_str(), token.c_str())) {
        return std::nullopt;
    }
    std::int32_t id = -1;
    int r = sd_bus_message_read(reply, "i", &id);
    sd_bus_message_unref(reply);
    if (r < 0 || id < 0) {
        error = failure(scriptFailed, "KWin did not load the window script");
        return std::nullopt;
    }
    std::string object = "/Scripting/Script" + std::to_string(id);
    bool ran = bus_->call(object.c_str(), "org.kde.kwin.Script", "run", nullptr, error, nullptr);
    auto deadline = Clock::now() + timeout_;
    while (ran && !bus_->answer) {
        r = sd_bus_process(bus_->bus, nullptr);
        if (r > 0) {
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (r < 0) {
            error = failure(busFailed, std::string("the session bus broke: ") + std::strerror(-r));
            break;
        }
        if (left.count() <= 0) {
            error = failure(timedOut, "KWin's window script did not answer");
            break;
        }
        r = sd_bus_wait(bus_->bus, static_cast<std::uint64_t>(left.count()));
        if (r < 0 && r != -EINTR) {
            error = failure(busFailed, std::string("the session bus broke: ") + std::strerror(-r));
            break;
        }
    }
    // The script has done its work, or never will: either way it goes, and a failure to
    // unload it changes nothing about the answer.
    ErrorPtr ignored;
    bus_->call("/Scripting", "org.kde.kwin.Scripting", "unloadScript", nullptr, ignored, "s",
               token.c_str());
    if (!bus_->answer) {
        return std::nullopt;
    }
    auto windows = parseWindows(*bus_->answer);
    if (!windows) {
        error = failure(scriptFailed, "KWin's window script answered what is not a window list");
    }
    return windows;
}

std::optional<std::vector<KWinWindow>> parseWindows(std::string_view json) {
    auto doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded() || !doc.is_array()) {
        return std::nullopt;
    }
    auto text = [](const nlohmann::json& w, const char* key) {
        auto v = w.find(key);
        return v != w.end() && v->is_string() ? v->get<std::string>() : std::string();
    };
    auto number = [](const nlohmann::json& w, const char* key) {
        auto v = w.find(key);
        return v != w.end() && v->is_number() ? v->get<double>() : 0.0;
    };
    auto flag = [](const nlohmann::json& w, const char* key) {
        auto v = w.find(key);
        return v != w.end() && v->is_boolean() && v->get<bool>();
    };
    std::vector<KWinWindow> windows;
    for (const auto& w : doc) {
        if (!w.is_object()) {
            return std::nullopt;
        }
        KWinWindow window;
        window.uuid = text(w, "uuid");
        if (window.uuid.empty()) {
            continue;
        }
        window.title = text(w, "title");
        window.resourceClass = text(w, "resourceClass");
        window.desktopFile = text(w, "desktopFile");
        double pid = number(w, "pid");
        window.pid = pid >= 1 && pid <= 0x7fffffff ? static_cast<ProcessID>(pid) : 0;
        window.frame = {number(w, "x"), number(w, "y"), number(w, "width"), number(w, "height")};
        window.normal = flag(w, "normal");
        window.minimized = flag(w, "minimized");
        window.hidden = flag(w, "hidden");
        window.onCurrentDesktop = flag(w, "onCurrentDesktop");
        window.output = text(w, "output");
        windows.push_back(std::move(window));
    }
    return windows;
}

} // namespace lumatap::kde
