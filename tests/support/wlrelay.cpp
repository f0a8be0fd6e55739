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
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace lumatap {
namespace {

struct Options {
    std::optional<std::uint64_t> cutAfter;
    std::optional<std::uint64_t> freezeAfter;
    std::optional<std::uint64_t> cutClientAfter;
    std::string socket;
    std::string compositor;
};

volatile std::sig_atomic_t stopping = 0;

void onSignal(int) {
    stopping = 1;
}

void warn(const std::string& text) {
    std::fprintf(stderr, "wlrelay: %s\n", text.c_str());
}

bool number(const char* text, std::uint64_t& value) {
    if (!text || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

std::string runtimeDir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return dir ? dir : "";
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::uint64_t n = 0;
        if (arg == "--cut-after" || arg == "--freeze-after" || arg == "--cut-client-after") {
            if (!number(value, n)) {
                return std::nullopt;
            }
            (arg == "--cut-after"      ? options.cutAfter
             : arg == "--freeze-after" ? options.freezeAfter
                                       : options.cutClientAfter) = n;
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

// Bytes read from one side in one go, with the descriptors that came with them; the
// descriptors go out with the first of the bytes, as the kernel would have delivered them.
struct Chunk {
    std::vector<std::uint8_t> bytes;
    std::vector<int> fds;
    std::size_t sent = 0;

    Chunk() = default;
    Chunk(Chunk&& other) noexcept
        : bytes(std::move(other.bytes)), fds(std::exchange(other.fds, {})), sent(other.sent) {}
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk() { drop(); }
    void drop() {
        for (int fd : fds) {
            close(fd);
        }
        fds.clear();
    }
};

struct Direction {
    std::deque<Chunk> queue;
    std::size_t queued = 0;
    std::uint64_t passed = 0; // bytes read from the source so far
    std::uint64_t fds = 0;    // descriptors read from the source so far
    std::optional<std::uint64_t> limit;
    bool ended = false;   // the source has closed
    bool stopped = false; // reads have stopped at the limit
    bool blocked = false; // the destination's buffer is full
};

// Beyond this much held in one direction, reading from its source waits.
constexpr std::size_t maxQueued = 4 << 20;
// More than libwayland ever sends with one message, and the kernel's own cap per message.
constexpr std::size_t maxFds = 253;

struct Connection {
    int number = 0;
    int client = -1;
    int server = -1;
    Direction up;   // client to compositor
    Direction down; // compositor to client
    bool cut = false;
    bool frozen = false;
    bool closed = false;

    ~Connection() {
        for (int fd : {client, server}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
};

class Relay {
  public:
    explicit Relay(Options options) : options_(std::move(options)) {}
    ~Relay() {
        if (listener_ >= 0) {
            close(listener_);
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

    void run() {
        sigset_t blocked, original;
        sigemptyset(&blocked);
        for (int s : {SIGTERM, SIGINT, SIGHUP}) {
            sigaddset(&blocked, s);
        }
        // The signals arrive only inside ppoll, so none is lost between the check and the wait.
        sigprocmask(SIG_BLOCK, &blocked, &original);
        std::vector<pollfd> fds;
        while (!stopping) {
            fds.assign(1, {listener_, POLLIN, 0});
            for (auto& c : connections_) {
                fds.push_back(watch(c->client, c->up, c->down, c->frozen));
                fds.push_back(watch(c->server, c->down, c->up, false));
            }
            if (ppoll(fds.data(), fds.size(), nullptr, &original) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                warn(std::string("poll: ") + std::strerror(errno));
                return;
            }
            // Connections accepted now have no poll entries yet, so they come after the others.
            std::size_t polled = connections_.size();
            if (fds[0].revents & POLLIN) {
                accept();
            }
            for (std::size_t k = 0; k < polled; ++k) {
                service(*connections_[k], fds[1 + 2 * k].revents, fds[2 + 2 * k].revents);
            }
            std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) {
                if (c->closed) {
                    report(*c);
                }
                return c->closed;
            });
        }
        for (auto& c : connections_) {
            report(*c);
        }
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
        listener_ = fd;
        path_ = path;
        return true;
    }

    void accept() {
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            return;
        }
        int server = connectTo(options_.compositor);
        if (server < 0) {
            warn("cannot reach the compositor at " + options_.compositor + ": " +
                 std::strerror(errno));
            close(client);
            return;
        }
        auto c = std::make_unique<Connection>();
        c->number = ++accepted_;
        c->client = client;
        c->server = server;
        c->up.limit = options_.cutClientAfter;
        if (options_.cutAfter || options_.freezeAfter) {
            c->down.limit = std::min(options_.cutAfter.value_or(UINT64_MAX),
                                     options_.freezeAfter.value_or(UINT64_MAX));
        }
        atLimits(*c);
        connections_.push_back(std::move(c));
    }

    // Stops reading where a limit says so; a limit of 0 takes effect before any byte.
    void atLimits(Connection& c) const {
        if (c.up.limit && c.up.passed >= *c.up.limit && !c.up.stopped) {
            c.up.stopped = true;
            c.cut = true;
        }
        if (c.down.limit && c.down.passed >= *c.down.limit && !c.down.stopped) {
            c.down.stopped = true;
            if (options_.cutAfter && c.down.passed >= *options_.cutAfter) {
                c.cut = true;
            } else {
                c.frozen = true;
                c.up.stopped = true;
            }
        }
    }

    static bool reading(const Direction& d) {
        return !d.ended && !d.stopped && d.queued < maxQueued;
    }

    // Poll for reading what `from` carries out of this socket and writing what `to` carries
    // into it; a frozen client is watched only for hanging up.
    static pollfd watch(int fd, const Direction& from, const Direction& to, bool frozen) {
        auto events = static_cast<short>((reading(from) ? POLLIN : 0) | (to.blocked ? POLLOUT : 0) |
                                         (frozen ? POLLRDHUP : 0));
        // A socket that nothing is asked of would still report its hang-up at every poll.
        return {events ? fd : -1, events, 0};
    }

    void service(Connection& c, short clientEvents, short serverEvents) const {
        constexpr short gone = POLLHUP | POLLERR | POLLRDHUP;
        if (c.frozen && (clientEvents & gone)) {
            c.closed = true; // the client gave up on its frozen compositor
            return;
        }
        if (clientEvents & (POLLOUT | POLLERR | POLLHUP)) {
            c.down.blocked = false;
        }
        if (serverEvents & (POLLOUT | POLLERR | POLLHUP)) {
            c.up.blocked = false;
        }
        if ((clientEvents & (POLLIN | POLLHUP | POLLERR)) && reading(c.up)) {
            receive(c, c.client, c.up);
        }
        if ((serverEvents & (POLLIN | POLLHUP | POLLERR)) && reading(c.down)) {
            receive(c, c.server, c.down);
        }
        send(c, c.server, c.up);
        send(c, c.client, c.down);
        // Either side closing, or a cut, ends the connection once what came before is passed on.
        bool flushed = c.up.queue.empty() && c.down.queue.empty();
        if (!c.closed && (c.up.ended || c.down.ended || c.cut) && flushed) {
            c.closed = true;
        }
    }

    void receive(Connection& c, int fd, Direction& d) const {
        std::uint8_t buffer[65536];
        std::size_t room = sizeof buffer;
        if (d.limit) {
            room = static_cast<std::size_t>(std::min<std::uint64_t>(room, *d.limit - d.passed));
        }
        alignas(cmsghdr) char control[CMSG_SPACE(maxFds * sizeof(int))];
        iovec io{buffer, room};
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        Chunk chunk;
        for (cmsghdr* h = CMSG_FIRSTHDR(&m); h; h = CMSG_NXTHDR(&m, h)) {
            if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_RIGHTS) {
                std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                const auto* first = reinterpret_cast<const int*>(CMSG_DATA(h));
                chunk.fds.insert(chunk.fds.end(), first, first + count);
            }
        }
        if (n <= 0) {
            d.ended = true;
            return;
        }
        if (m.msg_flags & MSG_CTRUNC) {
            warn("descriptors lost: more than " + std::to_string(maxFds) + " in one message");
        }
        auto size = static_cast<std::size_t>(n);
        chunk.bytes.assign(buffer, buffer + size);
        d.passed += size;
        d.fds += chunk.fds.size();
        d.queued += size;
        d.queue.push_back(std::move(chunk));
        atLimits(c);
    }

    static void send(Connection& c, int fd, Direction& d) {
        while (!c.closed && !d.blocked && !d.queue.empty()) {
            Chunk& chunk = d.queue.front();
            iovec io{chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent};
            msghdr m{};
            m.msg_iov = &io;
            m.msg_iovlen = 1;
            alignas(cmsghdr) char control[CMSG_SPACE(maxFds * sizeof(int))];
            if (!chunk.fds.empty()) {
                m.msg_control = control;
                m.msg_controllen = CMSG_SPACE(chunk.fds.size() * sizeof(int));
                cmsghdr* h = CMSG_FIRSTHDR(&m);
                h->cmsg_level = SOL_SOCKET;
                h->cmsg_type = SCM_RIGHTS;
                h->cmsg_len = CMSG_LEN(chunk.fds.size() * sizeof(int));
                std::memcpy(CMSG_DATA(h), chunk.fds.data(), chunk.fds.size() * sizeof(int));
            }
            ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                d.blocked = true;
                return;
            }
            if (n < 0) {
                c.closed = true;
                return;
            }
            // The receiver holds its own copies now.
            chunk.drop();
            chunk.sent += static_cast<std::size_t>(n);
            d.queued -= static_cast<std::size_t>(n);
            if (chunk.sent == chunk.bytes.size()) {
                d.queue.pop_front();
            }
        }
    }

    static void report(const Connection& c) {
        std::fprintf(stderr,
                     "connection=%d client_bytes=%llu server_bytes=%llu client_fds=%llu "
                     "server_fds=%llu\n",
                     c.number, static_cast<unsigned long long>(c.up.passed),
                     static_cast<unsigned long long>(c.down.passed),
                     static_cast<unsigned long long>(c.up.fds),
                     static_cast<unsigned long long>(c.down.fds));
    }

    Options options_;
    int listener_ = -1;
    std::string path_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int accepted_ = 0;
};

int serve(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: lumatap_test_wlrelay [--cut-after N] [--freeze-after N] "
                             "[--cut-client-after N] [--socket PATH] [COMPOSITOR]\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(s, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    Relay relay(std::move(*options));
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
} // namespace lumatap

int main(int argc, char** argv) {
    return lumatap::serve(argc, argv);
}
