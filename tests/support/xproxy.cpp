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
#include "relay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace lumatap::test {
namespace {

struct Options {
    Clock::duration delay{};
    Limits limits;
    std::string stats;
    bool tcp = false;
    std::string server;
};

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
        } else if (arg == "--delay-ms") {
            char* end = nullptr;
            double ms = value ? std::strtod(value, &end) : -1;
            if (!value || *end != '\0' || !(ms >= 0 && ms < 3.6e6)) {
                return std::nullopt;
            }
            options.delay = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(ms));
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
int connectDisplay(const std::string& name) {
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

// Counts the messages of one connection, for the line it adds to the stats file when it ends.
class Stats : public Observer {
  public:
    explicit Stats(const std::string& file) : file_(file) {}

    void fromClient(const Chunk& chunk) override {
        counter_.fromClient(chunk.bytes.data(), chunk.bytes.size());
    }
    void fromServer(const Chunk& chunk) override {
        counter_.fromServer(chunk.bytes.data(), chunk.bytes.size());
    }

    void ended(const Connection& c) override {
        if (file_.empty()) {
            return;
        }
        const Counter& k = counter_;
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
        int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, line, static_cast<std::size_t>(size)) != size) {
            warn("cannot write " + file_);
        }
        if (fd >= 0) {
            close(fd);
        }
    }

  private:
    const std::string& file_;
    Counter counter_;
};

class XRelay : public Relay {
  public:
    // Bytes for a side that has gone are of no use, so a side's end waits only for what it sent
    // to be passed on, not for what the delay still holds the other way.
    explicit XRelay(Options options)
        : Relay({.limits = options.limits,
                 .delay = options.delay,
                 .maxQueued = 8 << 20,
                 .descriptors = false,
                 .drainBoth = false}),
          options_(std::move(options)) {}
    ~XRelay() override {
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
            closeListeners();
            unlink(lock.c_str());
            lockPath_.clear();
        }
        return std::nullopt;
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
            listenOn(fd);
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
            listenOn(fd);
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
        return true;
    }

    int connectServer() override {
        int fd = connectDisplay(options_.server);
        if (fd < 0) {
            warn("cannot reach the X server " + options_.server + ": " + std::strerror(errno));
        }
        return fd;
    }

    std::unique_ptr<Observer> observe() override { return std::make_unique<Stats>(options_.stats); }

    Options options_;
    std::string socketPath_;
    std::string lockPath_;
};

int serve(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: lumatap_test_xproxy [--delay-ms D] [--cut-after N] "
                             "[--freeze-after N] [--cut-client-after N] [--stats FILE] [--tcp] "
                             "[SERVER]\n");
        return 2;
    }
    startRelay("xproxy");
    XRelay relay(std::move(*options));
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
} // namespace lumatap::test

int main(int argc, char** argv) {
    return lumatap::test::serve(argc, argv);
}
