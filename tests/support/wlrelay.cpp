// A relay between Wayland clients and a compositor, for fault-injection tests. It listens on a
// socket of its own and passes every byte, and every file descriptor sent along with bytes
// (shared-memory pools, keymaps, buffers), through to the compositor and back, optionally cut
// short or frozen.
//
//   lumatap_test_wlrelay [--cut-after N] [--freeze-after N] [--cut-client-after N]
//                        [--socket PATH] [COMPOSITOR]
//
//   COMPOSITOR           the compositor's socket: a path, or a name in $XDG_RUNTIME_DIR;
//                        $WAYLAND_DISPLAY when left out
//   --socket PATH        listens on PATH; else on the first free wayland-relay-N in
//                        $XDG_RUNTIME_DIR
//   --cut-after N        once N bytes have gone from the compositor to a client, closes both
//   --freeze-after N     once N bytes have gone from the compositor to a client, relays nothing
//                        more either way but keeps both sockets open
//   --cut-client-after N once N bytes have gone from a client to the compositor, closes both
//
// It prints what it listens on (the name for WAYLAND_DISPLAY, or PATH) once it listens, and
// when a connection ends writes one line to standard error:
//   connection=K client_bytes=B server_bytes=B client_fds=F server_fds=F
// It runs until it is killed.
#include "relay.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace lumatap::test {
namespace {

struct Options {
    Limits limits;
    std::string socket;
    std::string compositor;
};

std::string runtimeDir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return dir ? dir : "";
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (Taken taken = takeLimit(arg, value, options.limits); taken != Taken::other) {
            if (taken == Taken::bad) {
                return std::nullopt;
            }
            ++i;
        } else if (arg == "--socket" && value) {
            options.socket = value;
            ++i;
        } else if (!arg.empty() && arg[0] != '-' && options.compositor.empty()) {
            options.compositor = arg;
        } else {
            return std::nullopt;
        }
    }
    if (options.compositor.empty()) {
        const char* display = std::getenv("WAYLAND_DISPLAY");
        options.compositor = display ? display : "";
    }
    if (options.compositor.empty()) {
        return std::nullopt;
    }
    // Named the way libwayland names it: relative to the runtime directory.
    if (options.compositor[0] != '/') {
        options.compositor = runtimeDir() + "/" + options.compositor;
    }
    return options;
}

bool address(const std::string& path, sockaddr_un& a) {
    a = {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        return false;
    }
    std::memcpy(a.sun_path, path.data(), path.size());
    return true;
}

int connectTo(const std::string& path) {
    sockaddr_un a;
    if (!address(path, a)) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Counts the descriptors each way, for the line each connection ends with.
class Totals : public Observer {
  public:
    void fromClient(const Chunk& chunk) override { clientFds_ += chunk.fds.size(); }
    void fromServer(const Chunk& chunk) override { serverFds_ += chunk.fds.size(); }

    void ended(const Connection& c) override {
        std::fprintf(stderr,
                     "connection=%d client_bytes=%llu server_bytes=%llu client_fds=%llu "
                     "server_fds=%llu\n",
                     c.number, static_cast<unsigned long long>(c.up.passed),
                     static_cast<unsigned long long>(c.down.passed),
                     static_cast<unsigned long long>(clientFds_),
                     static_cast<unsigned long long>(serverFds_));
    }

  private:
    std::uint64_t clientFds_ = 0;
    std::uint64_t serverFds_ = 0;
};

class WaylandRelay : public Relay {
  public:
    // A cut waits for both ways to be flushed, so what either side sent before it, descriptors
    // included, still arrives.
    explicit WaylandRelay(Options options)
        : Relay({.limits = options.limits,
                 .delay = {},
                 .maxQueued = 4 << 20,
                 .descriptors = true,
                 .drainBoth = true}),
          options_(std::move(options)) {}
    ~WaylandRelay() override {
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }

    // What to print: the name for WAYLAND_DISPLAY, or the path asked for.
    std::optional<std::string> listen() {
        if (!options_.socket.empty()) {
            return bindTo(options_.socket) ? std::optional(options_.socket) : std::nullopt;
        }
        for (int n = 0; n < 1000; ++n) {
            std::string name = "wayland-relay-" + std::to_string(n);
            struct stat existing {};
            std::string path = runtimeDir() + "/" + name;
            if (lstat(path.c_str(), &existing) != 0 && bindTo(path)) {
                return name;
            }
        }
        return std::nullopt;
    }

  private:
    bool bindTo(const std::string& path) {
        sockaddr_un a;
        if (!address(path, a)) {
            return false;
        }
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            return false;
        }
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return false;
        }
        if (::listen(fd, 64) != 0) {
            close(fd);
            unlink(path.c_str());
            return false;
        }
        listenOn(fd);
        path_ = path;
        return true;
    }

    int connectServer() override {
        int fd = connectTo(options_.compositor);
        if (fd < 0) {
            warn("cannot reach the compositor at " + options_.compositor + ": " +
                 std::strerror(errno));
        }
        return fd;
    }

    std::unique_ptr<Observer> observe() override { return std::make_unique<Totals>(); }

    Options options_;
    std::string path_;
};

int serve(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: lumatap_test_wlrelay [--cut-after N] [--freeze-after N] "
                             "[--cut-client-after N] [--socket PATH] [COMPOSITOR]\n");
        return 2;
    }
    startRelay("wlrelay");
    WaylandRelay relay(std::move(*options));
    auto name = relay.listen();
    if (!name) {
        warn("no socket to listen on");
        return 1;
    }
    std::printf("%s\n", name->c_str());
    std::fflush(stdout);
    relay.run();
    return 0;
}

} // namespace
} // namespace lumatap::test

int main(int argc, char** argv) {
    return lumatap::test::serve(argc, argv);
}
