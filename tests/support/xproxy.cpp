// A relay between X clients and an X server, for benchmarks and fault-injection tests. It serves
// a display of its own and passes every byte through to the real server and back, optionally
// late, cut short or frozen, and counts the X protocol messages of each connection.
//
//   lumatap_test_xproxy [--delay-ms D] [--cut-after N] [--freeze-after N]
//                       [--cut-client-after N] [--stats FILE] [--tcp] [SERVER]
//
//   SERVER               a display name (":0", "unix:0", "host:0") or a socket path;
//                        $DISPLAY when left out
//   --delay-ms D         each direction holds every chunk D ms (fractions allowed) before
//                        passing it on, so a round trip costs 2D more
//   --cut-after N        once N bytes have gone from the server to a client, closes both sides
//   --freeze-after N     once N bytes have gone from the server to a client, relays nothing more
//                        either way but keeps both sockets open
//   --cut-client-after N once N bytes have gone from a client to the server, closes both sides
//   --stats FILE         appends one line for each connection when it closes: the requests,
//                        replies, events and errors it carried, and its turns (replies that
//                        came after new requests: the round trips the client may have waited on)
//   --tcp                listens on 127.0.0.1:6000+N as well as on the unix socket
//
// It prints the display it serves (":N") once it listens and runs until it is killed. Being a
// byte relay it passes X authorization through untouched.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace lumatap {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    Clock::duration delay{};
    std::optional<std::uint64_t> cutAfter;
    std::optional<std::uint64_t> freezeAfter;
    std::optional<std::uint64_t> cutClientAfter;
    std::string stats;
    bool tcp = false;
    std::string server;
};

volatile std::sig_atomic_t stopping = 0;

void onSignal(int) {
    stopping = 1;
}

void warn(const std::string& text) {
    std::fprintf(stderr, "xproxy: %s\n", text.c_str());
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

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::uint64_t n = 0;
        if (arg == "--delay-ms") {
            char* end = nullptr;
            double ms = value ? std::strtod(value, &end) : -1;
            if (!value || *end != '\0' || !(ms >= 0 && ms < 3.6e6)) {
                return std::nullopt;
            }
            options.delay = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(ms));
            ++i;
        } else if (arg == "--cut-after" || arg == "--freeze-after" || arg == "--cut-client-after") {
            if (!number(value, n)) {
                return std::nullopt;
            }
            (arg == "--cut-after"      ? options.cutAfter
             : arg == "--freeze-after" ? options.freezeAfter
                                       : options.cutClientAfter) = n;
            ++i;
        } else if (arg == "--stats") {
            if (!value) {
                return std::nullopt;
            }
            options.stats = value;
            ++i;
        } else if (arg == "--tcp") {
            options.tcp = true;
        } else if (!arg.empty() && arg[0] != '-' && options.server.empty()) {
            options.server = arg;
        } else {
            return std::nullopt;
        }
    }
    if (options.server.empty()) {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) {
            return std::nullopt;
        }
        options.server = display;
    }
    return options;
}

void nonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Connects to a unix socket; `abstract` puts the path in Linux's abstract namespace, where X
// servers listen as well.
int connectUnix(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() +
                                       (abstract ? 0 : 1));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connectTcp(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// Opens a connection to the real server named the way X clients name it.
int connectServer(const std::string& name) {
    if (name[0] == '/') {
        return connectUnix(name, false);
    }
    auto colon = name.rfind(':');
    if (colon == std::string::npos) {
        return -1;
    }
    std::string host = name.substr(0, colon);
    std::uint64_t display = 0;
    std::string rest = name.substr(colon + 1);
    if (!number(rest.substr(0, rest.find('.')).c_str(), display) || display > 59535) {
        return -1;
    }
    if (host.empty() || host == "unix") {
        std::string path = "/tmp/.X11-unix/X" + std::to_string(display);
        int fd = connectUnix(path, true);
        return fd >= 0 ? fd : connectUnix(path, false);
    }
    return connectTcp(host, 6000 + static_cast<int>(display));
}

std::uint32_t word(const std::uint8_t* p, int size, bool big) {
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= std::uint32_t{p[big ? size - 1 - i : i]} << (8 * i);
    }
    return value;
}

std::uint64_t padded(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

// Splits both directions of one connection into X protocol messages and counts them. Only
// message boundaries matter here, so a message's body is skipped, never kept.
class Counter {
  public:
    std::uint64_t requests = 0, replies = 0, events = 0, errors = 0, turns = 0;

    void fromClient(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            if (!take(up_, data, size)) {
                return;
            }
            const std::uint8_t* h = up_.header.data();
            if (!up_.started) {
                // The setup request: byte order, protocol version and the authorization.
                if (up_.header.size() < 12) {
                    up_.need = 12;
                    continue;
                }
                big_ = h[0] == 'B';
                up_.skip = padded(word(h + 6, 2, big_)) + padded(word(h + 8, 2, big_));
                up_.started = true;
            } else if (std::uint32_t length = word(h + 2, 2, big_); length != 0) {
                up_.skip = std::uint64_t{length} * 4 - 4;
                request();
            } else if (up_.header.size() < 8) {
                // A length of 0 means BIG-REQUESTS: the real length follows.
                up_.need = 8;
                continue;
            } else {
                std::uint64_t total = std::uint64_t{word(h + 4, 4, big_)} * 4;
                up_.skip = total > 8 ? total - 8 : 0;
                request();
            }
            up_.header.clear();
            up_.need = 4;
        }
    }

    void fromServer(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            if (!take(down_, data, size)) {
                return;
            }
            const std::uint8_t* h = down_.header.data();
            if (!down_.started) {
                if (down_.header.size() < 8) {
                    down_.need = 8;
                    continue;
                }
                down_.skip = std::uint64_t{word(h + 6, 2, big_)} * 4;
                down_.started = true;
            } else if (down_.header.size() < 32) {
                down_.need = 32;
                continue;
            } else if (h[0] == 0) {
                ++errors;
                answered();
            } else if (h[0] == 1) {
                ++replies;
                answered();
                down_.skip = std::uint64_t{word(h + 4, 4, big_)} * 4;
            } else {
                ++events;
                // A generic event carries a length as a reply does.
                if ((h[0] & 0x7f) == 35) {
                    down_.skip = std::uint64_t{word(h + 4, 4, big_)} * 4;
                }
            }
            down_.header.clear();
            down_.need = 4;
        }
    }

  private:
    struct Stream {
        bool started = false;
        std::vector<std::uint8_t> header;
        std::size_t need = 4;
        std::uint64_t skip = 0;
    };

    // Skips the rest of the current message, then gathers header bytes; true once `need` of
    // them are there.
    static bool take(Stream& s, const std::uint8_t*& data, std::size_t& size) {
        std::uint64_t skipped = std::min<std::uint64_t>(s.skip, size);
        s.skip -= skipped;
        data += skipped;
        size -= skipped;
        std::size_t n = std::min(size, s.need - std::min(s.need, s.header.size()));
        s.header.insert(s.header.end(), data, data + n);
        data += n;
        size -= n;
        return s.header.size() >= s.need;
    }

    void request() {
        ++requests;
        waiting_ = true;
    }
    void answered() {
        if (waiting_) {
            ++turns;
            waiting_ = false;
        }
    }

    Stream up_, down_;
    bool big_ = false;
    bool waiting_ = false;
};

struct Chunk {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
};

// One direction of a connection: what has been read from one side and is yet to be written
// to the other, oldest first.
struct Direction {
    std::deque<Chunk> queue;
    std::size_t queued = 0;
    std::uint64_t passed = 0; // bytes read from the source so far
    std::optional<std::uint64_t> limit;
    bool ended = false;   // the source has closed
    bool stopped = false; // reads have stopped at the limit
    bool blocked = false; // the destination's buffer is full

    bool flushed() const { return queue.empty(); }
};

// Beyond this much held in one direction, reading from its source waits.
constexpr std::size_t maxQueued = 8 << 20;

struct Connection {
    int number = 0;
    int client = -1;
    int server = -1;
    Direction up;   // client to server
    Direction down; // server to client
    Counter counter;
    bool cutUp = false;
    bool cutDown = false;
    bool frozen = false;
    bool closed = false;

    ~Connection() {
        if (client >= 0) {
            close(client);
        }
        if (server >= 0) {
            close(server);
        }
    }
};

class Relay {
  public:
    explicit Relay(Options options) : options_(std::move(options)) {}
    ~Relay() {
        for (int fd : listeners_) {
            close(fd);
        }
        if (!socketPath_.empty()) {
            unlink(socketPath_.c_str());
        }
        if (!lockPath_.empty()) {
            unlink(lockPath_.c_str());
        }
    }

    // Takes a free display number the way X servers do: its lock file, then its sockets.
    std::optional<int> listen() {
        mkdir("/tmp/.X11-unix", 01777);
        int first = 600 + static_cast<int>(getpid() % 200);
        for (int n = first; n < first + 200; ++n) {
            std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            int fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
            if (fd < 0) {
                continue;
            }
            char pid[16];
            int size = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
            bool written = write(fd, pid, static_cast<std::size_t>(size)) == size;
            close(fd);
            lockPath_ = lock;
            if (written && bindAll(n)) {
                return n;
            }
            for (int l : listeners_) {
                close(l);
            }
            listeners_.clear();
            unlink(lock.c_str());
            lockPath_.clear();
        }
        return std::nullopt;
    }

    void run() {
        sigset_t blocked, original;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGINT);
        sigaddset(&blocked, SIGHUP);
        // The signals arrive only inside ppoll, so none is lost between the check and the wait.
        sigprocmask(SIG_BLOCK, &blocked, &original);
        std::vector<pollfd> fds;
        while (!stopping) {
            fds.clear();
            for (int l : listeners_) {
                fds.push_back({l, POLLIN, 0});
            }
            for (auto& c : connections_) {
                fds.push_back({c->client, 0, 0});
                fds.push_back({c->server, 0, 0});
                watch(*c, fds[fds.size() - 2], fds.back());
            }
            timespec wait{};
            std::optional<Clock::time_point> next = nextDue();
            if (next) {
                auto left = std::max(Clock::duration::zero(), *next - Clock::now());
                auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                wait.tv_sec = static_cast<time_t>(ns / 1000000000);
                wait.tv_nsec = static_cast<long>(ns % 1000000000);
            }
            int ready = ppoll(fds.data(), fds.size(), next ? &wait : nullptr, &original);
            if (ready < 0 && errno != EINTR) {
                warn(std::string("poll: ") + std::strerror(errno));
                return;
            }
            std::size_t i = 0;
            for (; i < listeners_.size(); ++i) {
                if (ready > 0 && (fds[i].revents & POLLIN)) {
                    accept(fds[i].fd);
                }
            }
            // Connections accepted just now have no poll entries yet.
            std::size_t polled = (fds.size() - i) / 2;
            for (std::size_t k = 0; k < connections_.size(); ++k) {
                Connection& c = *connections_[k];
                short clientEvents = 0, serverEvents = 0;
                if (ready > 0 && k < polled) {
                    clientEvents = fds[i + 2 * k].revents;
                    serverEvents = fds[i + 2 * k + 1].revents;
                }
                service(c, clientEvents, serverEvents);
            }
            std::erase_if(connections_, [this](const std::unique_ptr<Connection>& c) {
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
    bool bindAll(int n) {
        std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
        struct stat existing {};
        if (lstat(path.c_str(), &existing) == 0) {
            return false;
        }
        for (bool abstract : {true, false}) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::size_t offset = abstract ? 1 : 0;
            std::memcpy(address.sun_path + offset, path.data(), path.size());
            auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               path.size() + (abstract ? 0 : 1));
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                return false;
            }
            listeners_.push_back(fd);
            if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
                ::listen(fd, 64) != 0) {
                return false;
            }
            if (!abstract) {
                socketPath_ = path;
            }
        }
        if (options_.tcp) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                return false;
            }
            listeners_.push_back(fd);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(6000 + n));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(fd, 64) != 0) {
                if (!socketPath_.empty()) {
                    unlink(socketPath_.c_str());
                    socketPath_.clear();
                }
                return false;
            }
        }
        for (int fd : listeners_) {
            nonBlocking(fd);
        }
        return true;
    }

    void accept(int listener) {
        int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        int server = connectServer(options_.server);
        if (server < 0) {
            warn("cannot reach the X server " + options_.server + ": " + std::strerror(errno));
            close(client);
            return;
        }
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        nonBlocking(client);
        nonBlocking(server);
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
    void atLimits(Connection& c) {
        if (c.up.limit && c.up.passed >= *c.up.limit && !c.up.stopped) {
            c.up.stopped = true;
            c.cutUp = true;
        }
        if (c.down.limit && c.down.passed >= *c.down.limit && !c.down.stopped) {
            c.down.stopped = true;
            if (options_.cutAfter && c.down.passed >= *options_.cutAfter) {
                c.cutDown = true;
            } else {
                c.frozen = true;
                c.up.stopped = true;
            }
        }
    }

    static bool reading(const Direction& d) {
        return !d.ended && !d.stopped && d.queued < maxQueued;
    }

    void watch(const Connection& c, pollfd& client, pollfd& server) const {
        client.events =
            static_cast<short>((reading(c.up) ? POLLIN : 0) | (c.down.blocked ? POLLOUT : 0) |
                               (c.frozen ? POLLRDHUP : 0));
        server.events =
            static_cast<short>((reading(c.down) ? POLLIN : 0) | (c.up.blocked ? POLLOUT : 0));
        // A socket that nothing is asked of would still report its hang-up at every poll.
        if (client.events == 0) {
            client.fd = -1;
        }
        if (server.events == 0) {
            server.fd = -1;
        }
    }

    std::optional<Clock::time_point> nextDue() const {
        std::optional<Clock::time_point> next;
        for (const auto& c : connections_) {
            for (const Direction* d : {&c->up, &c->down}) {
                if (!d->blocked && !d->queue.empty() && (!next || d->queue.front().due < *next)) {
                    next = d->queue.front().due;
                }
            }
        }
        return next;
    }

    void service(Connection& c, short clientEvents, short serverEvents) {
        constexpr short gone = POLLHUP | POLLERR | POLLRDHUP;
        if (c.frozen && (clientEvents & gone)) {
            c.closed = true; // the client gave up on its frozen server
            return;
        }
        if (clientEvents & (POLLOUT | POLLERR | POLLHUP)) {
            c.down.blocked = false;
        }
        if (serverEvents & (POLLOUT | POLLERR | POLLHUP)) {
            c.up.blocked = false;
        }
        if ((clientEvents & (POLLIN | POLLHUP | POLLERR)) && reading(c.up)) {
            receive(c, c.client, c.up, true);
        }
        if (!c.closed && (serverEvents & (POLLIN | POLLHUP | POLLERR)) && reading(c.down)) {
            receive(c, c.server, c.down, false);
        }
        if (!c.closed) {
            send(c, c.server, c.up);
        }
        if (!c.closed) {
            send(c, c.client, c.down);
        }
        if (c.closed) {
            return;
        }
        // Either side closing ends the X connection, once what it sent has been passed on.
        if ((c.up.ended || c.cutUp) && c.up.flushed()) {
            c.closed = true;
        }
        if ((c.down.ended || c.cutDown) && c.down.flushed()) {
            c.closed = true;
        }
    }

    void receive(Connection& c, int fd, Direction& d, bool fromClient) {
        std::uint8_t buffer[65536];
        std::size_t room = sizeof buffer;
        if (d.limit) {
            room = static_cast<std::size_t>(std::min<std::uint64_t>(room, *d.limit - d.passed));
        }
        ssize_t n = read(fd, buffer, room);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            d.ended = true;
            return;
        }
        auto size = static_cast<std::size_t>(n);
        if (fromClient) {
            c.counter.fromClient(buffer, size);
        } else {
            c.counter.fromServer(buffer, size);
        }
        d.passed += size;
        d.queued += size;
        d.queue.push_back({Clock::now() + options_.delay, {buffer, buffer + size}, 0});
        atLimits(c);
    }

    static void send(Connection& c, int fd, Direction& d) {
        auto now = Clock::now();
        while (!d.blocked && !d.queue.empty() && d.queue.front().due <= now) {
            Chunk& chunk = d.queue.front();
            ssize_t n = ::send(fd, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent,
                               MSG_NOSIGNAL);
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
            chunk.sent += static_cast<std::size_t>(n);
            d.queued -= static_cast<std::size_t>(n);
            if (chunk.sent == chunk.bytes.size()) {
                d.queue.pop_front();
            }
        }
    }

    void report(const Connection& c) const {
        if (options_.stats.empty()) {
            return;
        }
        const Counter& k = c.counter;
        char line[256];
        int size = std::snprintf(
            line, sizeof line,
            "connection=%d requests=%llu replies=%llu events=%llu errors=%llu turns=%llu "
            "client_bytes=%llu server_bytes=%llu\n",
            c.number, static_cast<unsigned long long>(k.requests),
            static_cast<unsigned long long>(k.replies), static_cast<unsigned long long>(k.events),
            static_cast<unsigned long long>(k.errors), static_cast<unsigned long long>(k.turns),
            static_cast<unsigned long long>(c.up.passed),
            static_cast<unsigned long long>(c.down.passed));
        // One write of a whole line, so that lines of several relays sharing the file stay whole.
        int fd = open(options_.stats.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, line, static_cast<std::size_t>(size)) != size) {
            warn("cannot write " + options_.stats);
        }
        if (fd >= 0) {
            close(fd);
        }
    }

    Options options_;
    std::vector<int> listeners_;
    std::string socketPath_;
    std::string lockPath_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int accepted_ = 0;
};

int serve(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: lumatap_test_xproxy [--delay-ms D] [--cut-after N] "
                             "[--freeze-after N] [--cut-client-after N] [--stats FILE] [--tcp] "
                             "[SERVER]\n");
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
    auto display = relay.listen();
    if (!display) {
        warn("no free display number to listen on");
        return 1;
    }
    std::printf(":%d\n", *display);
    std::fflush(stdout);
    relay.run();
    return 0;
}

} // namespace
} // namespace lumatap

int main(int argc, char** argv) {
    return lumatap::serve(argc, argv);
}
