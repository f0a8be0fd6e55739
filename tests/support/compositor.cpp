#include "tests/support/compositor.h"

#include "tests/support/desktop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace lumatap::test {
namespace {

using namespace std::chrono_literals;

std::string release(CompositorKind kind) {
    return isGnome(kind)           ? "gnome"
           : isKWin(kind)          ? "kde"
           : capturesWindows(kind) ? "sid"
                                   : "trixie";
}

std::filesystem::path chrootOf(CompositorKind kind) {
    return "/var/cache/lumatap-" + release(kind);
}
const std::string chrootUser = "lumatap";
// Run by the compositor once it is up: the DISPLAY it gives its programs, empty when it runs
// no Xwayland, written where the test can read it.
const std::string tellDisplay =
    "sh -c 'echo \"$DISPLAY\" > \"$XDG_RUNTIME_DIR/x-display.new\" && "
    "mv \"$XDG_RUNTIME_DIR/x-display.new\" \"$XDG_RUNTIME_DIR/x-display\"'";

// The chroot user's uid and gid, from the chroot's own passwd.
std::pair<uid_t, gid_t> chrootIds(const std::filesystem::path& chrootDir) {
    std::ifstream passwd(chrootDir / "etc/passwd");
    std::string line;
    while (std::getline(passwd, line)) {
        std::istringstream fields(line);
        std::string name, password, uid, gid;
        std::getline(fields, name, ':');
        std::getline(fields, password, ':');
        std::getline(fields, uid, ':');
        std::getline(fields, gid, ':');
        if (name == chrootUser) {
            return {static_cast<uid_t>(std::stoul(uid)), static_cast<gid_t>(std::stoul(gid))};
        }
    }
    throw std::runtime_error("not run: the chroot at " + chrootDir.string() + " has no user " +
                             chrootUser);
}

void makeChroot(CompositorKind kind) {
    if (geteuid() != 0) {
        throw std::runtime_error("not run: the Wayland tests start compositors in a chroot, "
                                 "which needs root");
    }
    auto result = run(
        {"/bin/bash", LUMATAP_SOURCE_DIR "/scripts/wayland-chroot", release(kind), chrootOf(kind)},
        {}, 15min);
    if (result.status != 0) {
        throw std::runtime_error("not run: scripts/wayland-chroot could not make the chroot " +
                                 chrootOf(kind).string() + ": " + result.err.substr(0, 2000));
    }
}

bool answers(const std::filesystem::path& socket) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socket.string();
    if (fd < 0 || path.size() >= sizeof address.sun_path) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    std::copy(path.begin(), path.end(), address.sun_path);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

const char* compositorName(CompositorKind kind) {
    switch (kind) {
    case CompositorKind::Sway:
        return "sway";
    case CompositorKind::Labwc:
        return "labwc";
    case CompositorKind::Sway110:
        return "sway_1_10";
    case CompositorKind::Labwc08:
        return "labwc_0_8";
    case CompositorKind::Gnome:
        return "gnome";
    case CompositorKind::GnomeBare:
        return "gnome_without_extension";
    case CompositorKind::KWin:
        return "kwin";
    }
    return "?";
}

bool isSway(CompositorKind kind) {
    return kind == CompositorKind::Sway || kind == CompositorKind::Sway110;
}

bool isGnome(CompositorKind kind) {
    return kind == CompositorKind::Gnome || kind == CompositorKind::GnomeBare;
}

bool capturesWindows(CompositorKind kind) {
    return kind == CompositorKind::Sway || kind == CompositorKind::Labwc || isGnome(kind) ||
           isKWin(kind);
}

bool isKWin(CompositorKind kind) {
    return kind == CompositorKind::KWin;
}

Compositor::Compositor(CompositorKind kind) : kind_(kind) {
    makeChroot(kind);
    const std::filesystem::path chrootDir = chrootOf(kind);
    auto [uid, gid] = chrootIds(chrootDir);
    uid_ = uid;
    gid_ = gid;
    if (isGnome(kind)) {
        startGnome();
        return;
    }
    std::string pattern = (chrootDir / "run/lumatap-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a runtime directory under " + chrootDir.string());
    }
    runtimeDir_ = pattern;
    std::string inside = "/run/" + runtimeDir_.filename().string();
    try {
        std::vector<std::string> argv{"/usr/sbin/chroot",
                                      "--userspec=" + std::to_string(uid) + ":" +
                                          std::to_string(gid),
                                      chrootDir.string(),
                                      "/usr/bin/env",
                                      "-i",
                                      "PATH=/usr/bin:/bin",
                                      "HOME=/home/" + chrootUser,
                                      "XDG_RUNTIME_DIR=" + inside,
                                      "WLR_BACKENDS=headless",
                                      "WLR_RENDERER=pixman",
                                      "WLR_LIBINPUT_NO_DEVICES=1"};
        session_ = argv;
        if (isSway(kind)) {
            // The headless backend makes HEADLESS-1 at 1280x720 already; the config says so
            // anyway, so that the tests' numbers do not rest on a wlroots default.
            std::ofstream config(runtimeDir_ / "sway.conf");
            config << "output HEADLESS-1 resolution 1280x720 position 0 0 scale 1\n"
                   << "xwayland enable\n"
                   << "exec " << tellDisplay << "\n";
            argv.insert(argv.end(), {"sway", "-c", inside + "/sway.conf"});
        } else if (isKWin(kind)) {
            // KWin needs a session bus (it takes its name there, and lumatap asks it there)
            // and PipeWire for its screencasts; the script starts them first, on a bus
            // address in the runtime folder that the host reaches too. KWin reads its clients'
            // /proc/PID/exe to grant interfaces, so the chroot gets a /proc of its own, in a
            // mount namespace of the compositor's alone.
            std::filesystem::create_directories(applicationsDir());
            std::ofstream script(runtimeDir_ / "session.sh");
            script << "export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus\n"
                   << "export XDG_DATA_HOME=$XDG_RUNTIME_DIR/data\n"
                   << "dbus-daemon --session --address=$DBUS_SESSION_BUS_ADDRESS --nofork "
                      "--nopidfile &\n"
                   << "while [ ! -S $XDG_RUNTIME_DIR/bus ]; do sleep 0.05; done\n"
                   << "pipewire &\n"
                   << "wireplumber &\n"
                   << "exec kwin_wayland --virtual --width 1280 --height 720 --no-lockscreen "
                      "--no-global-shortcuts --socket wayland-0 --xwayland "
                   << "\"sh " << inside << "/tell.sh\"\n";
            script.close();
            // KWin starts its trailing arguments once its Xwayland is up, with its DISPLAY.
            std::ofstream tell(runtimeDir_ / "tell.sh");
            tell << tellDisplay << "\n";
            tell.close();
            argv.insert(argv.end(), {"sh", inside + "/session.sh"});
            for (const char* name : {"KWIN_COMPOSE", "KWIN_OPENGL_INTERFACE", "EGL_PLATFORM",
                                     "LIBGL_ALWAYS_SOFTWARE", "QT_LOGGING_RULES"}) {
                if (const char* value = std::getenv(name)) {
                    argv.insert(argv.begin() + 6, std::string(name) + "=" + value);
                }
            }
            std::string inChroot;
            for (const auto& arg : argv) {
                inChroot += " '" + arg + "'";
            }
            // KWin grants by the canonical path of a client's executable, which it resolves in
            // its own tree: lumatap's folder is there at the same path.
            std::string bin = LUMATAP_BIN_DIR;
            std::filesystem::create_directories(chrootDir.string() + bin);
            argv = {"/usr/bin/unshare",
                    "--mount",
                    "--propagation",
                    "private",
                    "/bin/sh",
                    "-c",
                    "mount -t proc proc '" + chrootDir.string() + "/proc' && mount --bind '" + bin +
                        "' '" + chrootDir.string() + bin + "' && exec" + inChroot};
        } else {
            // labwc has no output configuration of its own; wlroots' headless default is
            // 1280x720, which the tests check.
            argv.insert(argv.end(), {"labwc", "--startup", tellDisplay});
        }
        std::error_code ignored;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(runtimeDir_, ignored)) {
            if (::chown(entry.path().c_str(), uid, gid) != 0) {
                throw std::runtime_error("cannot hand " + entry.path().string() +
                                         " to the chroot user");
            }
        }
        if (::chown(runtimeDir_.c_str(), uid, gid) != 0 ||
            ::chmod(runtimeDir_.c_str(), 0700) != 0) {
            throw std::runtime_error("cannot hand " + runtimeDir_.string() + " to the chroot user");
        }
        ProcessOptions options;
        options.captureStdout = true;
        process_ = std::make_unique<Process>(argv, options);

        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (socket_.empty()) {
            for (const auto& entry : std::filesystem::directory_iterator(runtimeDir_)) {
                std::string name = entry.path().filename();
                if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos &&
                    entry.is_socket() && answers(entry.path())) {
                    socket_ = name;
                }
            }
            if (!socket_.empty()) {
                break;
            }
            if (!process_->running() || std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error(std::string(compositorName(kind)) +
                                         " did not come up: " + process_->err());
            }
            std::this_thread::sleep_for(20ms);
        }
    } catch (...) {
        cleanup();
        throw;
    }
}

// The project's own session script starts the buses, PipeWire and the shell; its first line
// names the runtime folder, its second says the shell serves.
void Compositor::startGnome() {
    std::vector<std::string> argv{LUMATAP_SOURCE_DIR "/scripts/gnome-session"};
    if (kind_ == CompositorKind::GnomeBare) {
        argv.push_back("--without-extension");
    }
    ProcessOptions options;
    options.captureStdout = false;
    try {
        process_ = std::make_unique<Process>(argv, options);
        auto folder = process_->readLine(20s);
        if (!folder) {
            throw std::runtime_error("scripts/gnome-session made no session: " + process_->err());
        }
        runtimeDir_ = *folder;
        socket_ = "wayland-0";
        auto ready = process_->readLine(60s);
        if (!ready || *ready != "ready") {
            throw std::runtime_error("gnome-shell did not come up: " + process_->err());
        }
    } catch (...) {
        cleanup();
        throw;
    }
}

std::vector<std::string> Compositor::inSession(const std::vector<std::string>& argv) const {
    std::vector<std::string> full;
    if (isGnome(kind_)) {
        full = {LUMATAP_SOURCE_DIR "/scripts/gnome-session", "--run",
                std::to_string(process_->pid()), runtimeDir_.string()};
    } else {
        full = session_;
        for (const auto& entry : std::filesystem::directory_iterator(runtimeDir_)) {
            std::string name = entry.path().filename();
            if (name.rfind("sway-ipc.", 0) == 0) {
                full.push_back("SWAYSOCK=/run/" + runtimeDir_.filename().string() + "/" + name);
            }
        }
        full.push_back("WAYLAND_DISPLAY=" + socket_);
        if (isKWin(kind_)) {
            full.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/run/" +
                           runtimeDir_.filename().string() + "/bus");
        }
    }
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

Compositor::~Compositor() {
    cleanup();
}

void Compositor::cleanup() {
    if (process_) {
        stopTree(*process_);
        process_.reset();
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
}

ProcessOptions Compositor::env() const {
    ProcessOptions options;
    options.env["XDG_RUNTIME_DIR"] = runtimeDir_.string();
    options.env["WAYLAND_DISPLAY"] = socket_;
    options.unset = {"DISPLAY", "WAYLAND_SOCKET"};
    if (isGnome(kind_) || isKWin(kind_)) {
        options.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (runtimeDir_ / "bus").string();
    } else {
        options.unset.push_back("DBUS_SESSION_BUS_ADDRESS");
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(runtimeDir_, error)) {
        if (entry.path().filename().string().rfind("sway-ipc.", 0) == 0) {
            options.env["SWAYSOCK"] = entry.path().string();
        }
    }
    // Never the IPC of a sway the test itself runs in.
    if (!options.env.count("SWAYSOCK")) {
        options.unset.push_back("SWAYSOCK");
    }
    return options;
}

RunResult Compositor::command(const std::vector<std::string>& argv) {
    return run(inSession(argv));
}

std::unique_ptr<Process> Compositor::start(const std::vector<std::string>& argv) {
    ProcessOptions options;
    options.captureStdout = false;
    return std::make_unique<Process>(inSession(argv), options);
}

std::string Compositor::log() {
    return process_ ? process_->err() : "";
}

std::string Compositor::xDisplay() {
    std::string display;
    bool told = false;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!told && std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(runtimeDir_ / "x-display");
        told = static_cast<bool>(std::getline(in, display));
        if (!told) {
            std::this_thread::sleep_for(20ms);
        }
    }
    if (!told) {
        throw std::runtime_error(
            std::string(compositorName(kind_)) +
            " never ran its startup command, so its X display is unknown: " + log());
    }
    if (display.empty()) {
        throw std::runtime_error(std::string(compositorName(kind_)) +
                                 " runs no Xwayland (its programs get no DISPLAY): " + log());
    }
    return display;
}

XwaylandClient::XwaylandClient(Compositor& compositor) : compositor_(compositor) {
    ProcessOptions options;
    options.env["DISPLAY"] = compositor.xDisplay();
    options.unset = {"WAYLAND_DISPLAY", "XAUTHORITY"};
    options.pipeStdin = true;
    options.captureStdout = false;
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/setpriv", "--reuid=" + std::to_string(compositor.uid()),
                                 "--regid=" + std::to_string(compositor.gid()), "--clear-groups",
                                 XCLIENT_BIN},
        options);
    // Xwayland starts on the first connection and the compositor's window manager joins it a
    // moment later; a window mapped before that is never managed, so never listed.
    ask("sync");
    std::vector<std::string> xprop{"/usr/bin/setpriv",
                                   "--reuid=" + std::to_string(compositor.uid()),
                                   "--regid=" + std::to_string(compositor.gid()),
                                   "--clear-groups",
                                   "/usr/bin/xprop",
                                   "-root",
                                   "_NET_SUPPORTING_WM_CHECK"};
    ProcessOptions display;
    display.env["DISPLAY"] = options.env["DISPLAY"];
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (run(xprop, display).out.find("window id") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(
                std::string(compositorName(compositor.kind())) +
                "'s window manager never took over its Xwayland: " + compositor.log());
        }
        std::this_thread::sleep_for(20ms);
    }
}

XwaylandClient::~XwaylandClient() {
    process_->closeStdin();
    process_->wait(5s);
}

std::string XwaylandClient::ask(const std::string& request) {
    process_->writeStdin(request + "\n");
    // Generously: the first request waits for Xwayland to start.
    auto line = process_->readLine(20s);
    if (!line) {
        throw std::runtime_error("the test X client on Xwayland did not answer: " + request + " (" +
                                 process_->err() + ")\n" + compositorName(compositor_.kind()) +
                                 ": " + compositor_.log());
    }
    return *line;
}

std::uint32_t XwaylandClient::window(int width, int height, std::uint32_t rgb,
                                     const std::string& appClass, const std::string& title,
                                     const std::string& options) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "%06x", rgb & 0xFFFFFFu);
    std::string answer =
        ask("window 0 0 " + std::to_string(width) + " " + std::to_string(height) + " " + colour +
            " class=" + appClass + (options.empty() ? "" : " " + options) + " title=" + title);
    try {
        return static_cast<std::uint32_t>(std::stoul(answer));
    } catch (const std::exception&) {
        throw std::runtime_error("the test X client could not open a window: " + answer);
    }
}

WlClient::WlClient(const Compositor& compositor) : WlClient(compositor, "") {
}

WlClient::WlClient(const Compositor& compositor, const std::string& alongside) {
    ProcessOptions options = compositor.env();
    options.pipeStdin = true;
    options.captureStdout = false;
    std::vector<std::string> argv{WLCLIENT_BIN};
    if (!alongside.empty()) {
        // The shell forks the command, then becomes the client under the same process id.
        argv = {"/bin/sh", "-c", "{ " + alongside + "; } & exec \"$0\"", WLCLIENT_BIN};
    }
    process_ = std::make_unique<Process>(argv, options);
}

WlClient::~WlClient() {
    process_->closeStdin();
    process_->wait(5s);
}

std::string WlClient::ask(const std::string& request) {
    process_->writeStdin(request + "\n");
    auto line = process_->readLine(10s);
    if (!line) {
        throw std::runtime_error("the test Wayland client did not answer: " + request + " (" +
                                 process_->err() + ")");
    }
    return *line;
}

int WlClient::window(int width, int height, std::uint32_t rgb, const std::string& appId,
                     const std::string& title, const std::string& options) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "%06x", rgb & 0xFFFFFFu);
    std::string answer =
        ask("window " + std::to_string(width) + " " + std::to_string(height) + " " + colour + " " +
            appId + (options.empty() ? "" : " " + options) + " title=" + title);
    try {
        return std::stoi(answer);
    } catch (const std::exception&) {
        throw std::runtime_error("the test Wayland client could not open a window: " + answer);
    }
}

} // namespace lumatap::test
