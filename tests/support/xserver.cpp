#include "tests/support/xserver.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

#ifndef XCLIENT_BIN
#define XCLIENT_BIN "lumatap_test_xclient"
#endif

namespace lumatap::test {
namespace {

// Whether the server takes connections; one that demands authorization is ready once its
// socket accepts.
bool answers(const std::string& display, int number, bool authorized) {
    if (authorized) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", number);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return ok;
    }
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return ok;
}

std::string which(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        std::string path = dir + program;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return program;
}

} // namespace

XServer::XServer(int width, int height, int depth, const std::vector<std::string>& extra,
                 bool resetWhenIdle) {
    std::string screen =
        std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    // Tests run side by side, so a display number may be taken by the time Xvfb locks it;
    // then the next one is tried.
    int number = 100 + static_cast<int>(getpid() % 500);
    for (int attempt = 0; attempt < 40; ++attempt, ++number) {
        std::string name = ":" + std::to_string(number);
        if (std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock") ||
            std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) {
            continue;
        }
        std::vector<std::string> argv{which("Xvfb"), name,  "-screen",    "0",    screen,
                                      "-nolisten",   "tcp", "+extension", "RANDR"};
        if (!resetWhenIdle) {
            argv.push_back("-noreset");
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        bool authorized = std::find(extra.begin(), extra.end(), "-auth") != extra.end();
        auto server = std::make_unique<Process>(argv);
        for (int wait = 0; wait < 500 && server->running(); ++wait) {
            if (answers(name, number, authorized)) {
                display_ = name;
                server_ = std::move(server);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    throw std::runtime_error("could not start Xvfb");
}

XServer::~XServer() {
    manager_.reset();
    if (server_) {
        server_->kill(SIGTERM);
        server_->wait(std::chrono::seconds(5));
    }
}

ProcessOptions XServer::env() const {
    ProcessOptions options;
    options.env["DISPLAY"] = display_;
    // A compositor the developer runs in would otherwise be chosen over this server.
    options.unset = {"WAYLAND_DISPLAY"};
    return options;
}

bool XServer::command(const std::vector<std::string>& argv) {
    std::vector<std::string> full = argv;
    full[0] = which(full[0]);
    auto result = run(full, env());
    return result.status && *result.status == 0;
}

void XServer::startWindowManager() {
    manager_ = std::make_unique<Process>(std::vector<std::string>{which("openbox")}, env());
    // The manager is ready once it has announced itself on the root window.
    for (int wait = 0; wait < 500; ++wait) {
        auto result = run({which("xprop"), "-root", "_NET_SUPPORTING_WM_CHECK"}, env());
        if (result.out.find("window id") != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("openbox did not start");
}

XClient::XClient(const XServer& server) : XClient(server.env()) {
}

XClient::XClient(const ProcessOptions& given) {
    ProcessOptions options = given;
    options.pipeStdin = true;
    options.captureStdout = false;
    process_ = std::make_unique<Process>(std::vector<std::string>{XCLIENT_BIN}, options);
}

XClient::~XClient() {
    process_->closeStdin();
}

std::string XClient::ask(const std::string& request) {
    process_->writeStdin(request + "\n");
    auto line = process_->readLine(std::chrono::seconds(10));
    if (!line) {
        throw std::runtime_error("the test X client did not answer: " + request);
    }
    return *line;
}

std::uint32_t XClient::window(int x, int y, int width, int height, std::uint32_t rgb,
                              const std::string& options) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "%06x", rgb & 0xffffffu);
    std::string answer =
        ask("window " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(width) +
            " " + std::to_string(height) + " " + colour + (options.empty() ? "" : " " + options));
    return static_cast<std::uint32_t>(std::stoul(answer));
}

} // namespace lumatap::test
