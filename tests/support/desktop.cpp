#include "tests/support/desktop.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

namespace lumatap::test {
namespace {

using namespace std::chrono_literals;

std::string which(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/", "/usr/sbin/"}) {
        std::string path = dir + program;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    throw std::runtime_error(program + " is not installed (see scripts/deps)");
}

// A process as /proc shows it; the start time tells it from a later one with the same id.
struct Known {
    pid_t pid = 0;
    pid_t parent = 0;
    unsigned long long start = 0;
};

std::optional<Known> known(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The command name may hold spaces and parentheses; the fields after it do not.
    auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    Known k{.pid = pid};
    rest >> state >> k.parent;
    std::string skipped;
    for (int field = 5; field < 22; ++field) {
        rest >> skipped;
    }
    rest >> k.start;
    if (!rest || state == 'Z') {
        return std::nullopt;
    }
    return k;
}

bool alive(const Known& k) {
    auto now = known(k.pid);
    return now && now->start == k.start;
}

// Every live process whose parent is `pid`, and theirs.
std::vector<Known> descendants(pid_t pid) {
    std::map<pid_t, std::vector<Known>> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        if (auto k = known(std::stoi(name))) {
            children[k->parent].push_back(*k);
        }
    }
    std::vector<Known> found;
    std::vector<pid_t> todo{pid};
    while (!todo.empty()) {
        pid_t next = todo.back();
        todo.pop_back();
        for (const Known& child : children[next]) {
            found.push_back(child);
            todo.push_back(child.pid);
        }
    }
    return found;
}

// Live processes whose environment names `home` as HOME: what the desktop started, even
// those that left its process tree (a bus service that detached).
std::vector<pid_t> livingIn(const std::filesystem::path& home) {
    std::string wanted = "HOME=" + home.string();
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream environ(entry.path() / "environ", std::ios::binary);
        std::string variable;
        while (std::getline(environ, variable, '\0')) {
            if (variable == wanted) {
                found.push_back(std::stoi(name));
                break;
            }
        }
    }
    return found;
}

std::string propertyText(xcb_connection_t* c, xcb_window_t w, xcb_atom_t name) {
    auto reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr);
    if (!reply) {
        return {};
    }
    std::string text(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    free(reply);
    return text;
}

xcb_atom_t atom(xcb_connection_t* c, const std::string& name) {
    auto reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return a;
}

bool matches(xcb_connection_t* c, xcb_window_t w, const WindowMatch& match) {
    if (!match.appClass.empty()) {
        std::string wmClass = propertyText(c, w, XCB_ATOM_WM_CLASS);
        auto nul = wmClass.find('\0');
        std::string instance = wmClass.substr(0, nul);
        std::string cls = nul == std::string::npos ? "" : wmClass.substr(nul + 1);
        if (!cls.empty() && cls.back() == '\0') {
            cls.pop_back();
        }
        if (instance != match.appClass && cls != match.appClass) {
            return false;
        }
    }
    if (!match.title.empty() && propertyText(c, w, XCB_ATOM_WM_NAME) != match.title &&
        propertyText(c, w, atom(c, "_NET_WM_NAME")) != match.title) {
        return false;
    }
    auto attributes = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr);
    bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    free(attributes);
    return viewable;
}

// The first viewable window under `parent` that matches, searched through frames.
std::optional<xcb_window_t> search(xcb_connection_t* c, xcb_window_t parent,
                                   const WindowMatch& match) {
    auto tree = xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr);
    if (!tree) {
        return std::nullopt;
    }
    std::vector<xcb_window_t> children(xcb_query_tree_children(tree),
                                       xcb_query_tree_children(tree) +
                                           xcb_query_tree_children_length(tree));
    free(tree);
    for (xcb_window_t child : children) {
        if (matches(c, child, match)) {
            return child;
        }
        if (auto below = search(c, child, match)) {
            return below;
        }
    }
    return std::nullopt;
}

std::string describe(const WindowMatch& match) {
    std::string text;
    if (!match.title.empty()) {
        text += "title \"" + match.title + "\"";
    }
    if (!match.appClass.empty()) {
        text += (text.empty() ? "" : ", ") + std::string("class \"") + match.appClass + "\"";
    }
    return text;
}

// Whether the root window names a supporting manager window, and whether the compositing
// selection has an owner.
struct RootState {
    bool managed = false;
    bool composited = false;
};

RootState rootState(const std::string& display) {
    RootState state;
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c) == 0) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        state.managed = propertyText(c, root, atom(c, "_NET_SUPPORTING_WM_CHECK")).size() == 4;
        auto owner = xcb_get_selection_owner_reply(
            c, xcb_get_selection_owner(c, atom(c, "_NET_WM_CM_S0")), nullptr);
        state.composited = owner && owner->owner != XCB_WINDOW_NONE;
        free(owner);
    }
    xcb_disconnect(c);
    return state;
}

} // namespace

const char* managerName(Manager kind) {
    switch (kind) {
    case Manager::None:
        return "no manager";
    case Manager::Openbox:
        return "openbox";
    case Manager::Dwm:
        return "dwm";
    case Manager::Mutter:
        return "mutter";
    case Manager::Xfwm4:
        return "xfwm4";
    }
    return "?";
}

void stopTree(Process& process) {
    std::vector<Known> family = descendants(process.pid());
    if (process.running()) {
        process.kill(SIGTERM);
    }
    for (const Known& k : family) {
        ::kill(k.pid, SIGTERM);
    }
    if (!process.wait(3s)) {
        process.kill(SIGKILL);
        process.wait(5s);
    }
    // Whatever the process started (a shell, a service the bus activated) goes too; one that
    // ignored the request is forced.
    for (int tries = 0; tries < 50; ++tries) {
        if (std::none_of(family.begin(), family.end(), alive)) {
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    for (const Known& k : family) {
        if (alive(k)) {
            ::kill(k.pid, SIGKILL);
        }
    }
}

Desktop::Desktop(Manager kind, int width, int height, const std::vector<std::string>& serverArgs)
    : kind_(kind) {
    char pattern[] = "/tmp/lumatap-desktop-XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("could not make a home directory for the desktop");
    }
    home_ = pattern;
    try {
        std::filesystem::create_directories(home_ / "runtime");
        std::filesystem::permissions(home_ / "runtime", std::filesystem::perms::owner_all);
        server_ = std::make_unique<XServer>(width, height, 24, serverArgs);
        startBus();
        startManager();
    } catch (...) {
        cleanup();
        throw;
    }
}

Desktop::~Desktop() {
    cleanup();
}

void Desktop::cleanup() {
    stopPrograms();
    for (Process* process : {manager_.get(), bus_.get()}) {
        if (process) {
            stopTree(*process);
        }
    }
    // A service that detached may still hold the bus's output pipe, which the bus's Process
    // reads to its end; it goes before that.
    for (int tries = 0; tries < 50 && !livingIn(home_).empty(); ++tries) {
        std::this_thread::sleep_for(20ms);
    }
    for (pid_t pid : livingIn(home_)) {
        ::kill(pid, SIGKILL);
    }
    manager_.reset();
    bus_.reset();
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

ProcessOptions Desktop::env() const {
    ProcessOptions options = server_->env();
    options.env["HOME"] = home_.string();
    options.env["XDG_RUNTIME_DIR"] = (home_ / "runtime").string();
    options.env["XDG_CONFIG_HOME"] = (home_ / "config").string();
    options.env["XDG_CACHE_HOME"] = (home_ / "cache").string();
    options.env["XDG_DATA_HOME"] = (home_ / "data").string();
    options.env["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
    options.env["NO_AT_BRIDGE"] = "1";
    options.env["GDK_BACKEND"] = "x11";
    // Settings stay in memory, so no dconf service starts and nothing of the user's is read.
    options.env["GSETTINGS_BACKEND"] = "memory";
    options.env["LC_ALL"] = "C.UTF-8";
    options.unset = {"WAYLAND_DISPLAY", "SESSION_MANAGER", "XDG_SESSION_TYPE", "DESKTOP_SESSION"};
    return options;
}

void Desktop::startBus() {
    std::string socket = (home_ / "runtime" / "bus").string();
    busAddress_ = "unix:path=" + socket;
    // Services the bus starts (xfconfd, say) inherit its environment, so they too keep to the
    // private home.
    bus_ = std::make_unique<Process>(std::vector<std::string>{which("dbus-daemon"), "--session",
                                                              "--nofork", "--nopidfile",
                                                              "--address=" + busAddress_},
                                     env());
    for (int wait = 0; wait < 500 && bus_->running(); ++wait) {
        if (std::filesystem::exists(socket)) {
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    throw std::runtime_error("the session bus did not start: " + bus_->err());
}

bool Desktop::managing() {
    RootState state = rootState(server_->display());
    bool composites = kind_ == Manager::Mutter || kind_ == Manager::Xfwm4;
    return state.managed && (state.composited || !composites);
}

void Desktop::startManager() {
    std::vector<std::string> argv;
    switch (kind_) {
    case Manager::None:
        return;
    case Manager::Openbox:
        argv = {which("openbox"), "--sm-disable"};
        break;
    case Manager::Dwm:
        argv = {which("dwm")};
        break;
    case Manager::Mutter:
        argv = {which("mutter"), "--x11", "--replace", "--sm-disable"};
        break;
    case Manager::Xfwm4:
        argv = {which("xfwm4"), "--compositor=on", "--replace"};
        break;
    }
    manager_ = std::make_unique<Process>(argv, env());
    // Every manager here, dwm included, names its check window on the root once it has
    // taken the screen; the compositing ones also own the compositing selection then.
    for (int wait = 0; wait < 1000 && manager_->running(); ++wait) {
        if (managing()) {
            return;
        }
        std::this_thread::sleep_for(15ms);
    }
    std::string why =
        manager_->running() ? "did not take the screen within 15 s" : "ended while starting";
    throw std::runtime_error(std::string(managerName(kind_)) + " " + why + ": " + manager_->err());
}

std::uint32_t Desktop::launch(const std::vector<std::string>& argv, const WindowMatch& match,
                              const ProcessOptions& extra) {
    ProcessOptions options = env();
    for (const auto& [key, value] : extra.env) {
        options.env[key] = value;
    }
    options.unset.insert(options.unset.end(), extra.unset.begin(), extra.unset.end());
    std::vector<std::string> full = argv;
    full[0] = which(full[0]);
    programs_.push_back(std::make_unique<Process>(full, options));
    Process& program = *programs_.back();

    xcb_connection_t* c = xcb_connect(server_->display().c_str(), nullptr);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        throw std::runtime_error("could not connect to " + server_->display());
    }
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    std::optional<xcb_window_t> found;
    for (int wait = 0; wait < 500 && !found && program.running(); ++wait) {
        found = search(c, root, match);
        if (!found) {
            std::this_thread::sleep_for(20ms);
        }
    }
    xcb_disconnect(c);
    if (!found) {
        throw std::runtime_error(
            argv[0] + "'s window (" + describe(match) + ") " +
            (program.running() ? "was not mapped within 10 s" : "never came: the program ended") +
            ": " + program.err());
    }
    return *found;
}

std::uint32_t Desktop::xterm(const std::string& title, const std::string& appClass,
                             const ProcessOptions& extra) {
    // The shell idles, so the terminal stays as it is drawn.
    return launch({"xterm", "-T", title, "-class", appClass, "-e", "sleep", "600"},
                  {.title = "", .appClass = appClass}, extra);
}

std::uint32_t Desktop::xclock(const std::string& title, const std::string& geometry) {
    return launch({"xclock", "-title", title, "-geometry", geometry},
                  {.title = title, .appClass = "XClock"});
}

std::uint32_t Desktop::gtkDemo() {
    // The hidden client leader shares the class; only the main window is mapped.
    return launch({"gtk3-demo"}, {.title = "", .appClass = "Gtk3-demo"});
}

void Desktop::stopPrograms() {
    for (auto& program : programs_) {
        stopTree(*program);
    }
    programs_.clear();
}

RunResult Desktop::run(const std::vector<std::string>& argv) {
    std::vector<std::string> full = argv;
    full[0] = which(full[0]);
    return test::run(full, env());
}

void Desktop::must(const std::vector<std::string>& argv) {
    RunResult result = run(argv);
    if (!result.status || *result.status != 0) {
        std::string line;
        for (const auto& a : argv) {
            line += a + " ";
        }
        throw std::runtime_error(line + "failed: " + result.out + result.err);
    }
}

void Desktop::waitFor(const std::function<bool()>& done, const std::string& what) {
    for (int wait = 0; wait < 200; ++wait) {
        if (done()) {
            return;
        }
        std::this_thread::sleep_for(50ms);
    }
    throw std::runtime_error("gave up waiting: " + what);
}

std::string Desktop::property(std::uint32_t window, const std::string& name) {
    return run({"xprop", "-id", std::to_string(window), name}).out;
}

} // namespace lumatap::test
