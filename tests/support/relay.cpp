#include "relay.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumatap::test {
namespace {

volatile std::sig_atomic_t stopping = 0;
const char* program = "relay";

void onSignal(int) {
    stopping = 1;
}

// More than libwayland ever sends with one message, and the kernel's own cap per message.
constexpr std::size_t maxFds = 253;

} // namespace

void startRelay(const char* name) {
    program = name;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(s, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

void warn(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", program, text.c_str());
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

Taken takeLimit(const std::string& arg, const char* value, Limits& limits) {
    if (arg != "--cut-after" && arg != "--freeze-after" && arg != "--cut-client-after") {
        return Taken::other;
    }
    std::uint64_t n = 0;
    if (!number(value, n)) {
        return Taken::bad;
    }
    (arg == "--cut-after"      ? limits.cutAfter
     : arg == "--freeze-after" ? limits.freezeAfter
                               : limits.cutClientAfter) = n;
    return Taken::limit;
}

Chunk::Chunk(Chunk&& other) noexcept
    : due(other.due), bytes(std::move(other.bytes)), fds(std::exchange(other.fds, {})),
      sent(other.sent) {
}

void Chunk::drop() {
    for (int fd : fds) {
        close(fd);
    }
    fds.clear();
}

Connection::~Connection() {
    for (int fd : {client, server}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

Relay::~Relay() {
    closeListeners();
}

void Relay::listenOn(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    listeners_.push_back(fd);
}

void Relay::closeListeners() {
    for (int fd : listeners_) {
        close(fd);
    }
    listeners_.clear();
}

void Relay::run() {
    sigset_t blocked, original;
    sigemptyset(&blocked);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&blocked, s);
    }
    // The signals arrive only inside ppoll, so none is lost between the check and the wait.
    sigprocmask(SIG_BLOCK, &blocked, &original);
    std::vector<pollfd> fds;
    while (!stopping) {
        fds.clear();
        for (int l : listeners_) {
            fds.push_back({l, POLLIN, 0});
        }
        for (auto& c : connections_) {
            fds.push_back(watch(c->client, c->up, c->down, c->frozen));
            fds.push_back(watch(c->server, c->down, c->up, false));
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
            short clientEvents = 0, serverEvents = 0;
            if (ready > 0 && k < polled) {
                clientEvents = fds[i + 2 * k].revents;
                serverEvents = fds[i + 2 * k + 1].revents;
            }
            service(*connections_[k], clientEvents, serverEvents);
        }
        std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) {
            if (c->closed) {
                c->observer->ended(*c);
            }
            return c->closed;
        });
    }
    for (auto& c : connections_) {
        c->observer->ended(*c);
    }
}

void Relay::accept(int listener) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
        return;
    }
    int server = connectServer();
    if (server < 0) {
        close(client);
        return;
    }
    // For clients over TCP; a unix socket refuses the option and is none the worse.
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
    auto c = std::make_unique<Connection>();
    c->number = ++accepted_;
    c->client = client;
    c->server = server;
    c->observer = observe();
    const Limits& limits = settings_.limits;
    c->up.limit = limits.cutClientAfter;
    if (limits.cutAfter || limits.freezeAfter) {
        c->down.limit =
            std::min(limits.cutAfter.value_or(UINT64_MAX), limits.freezeAfter.value_or(UINT64_MAX));
    }
    atLimits(*c);
    connections_.push_back(std::move(c));
}

// Stops reading where a limit says so; a limit of 0 takes effect before any byte.
void Relay::atLimits(Connection& c) const {
    if (c.up.limit && c.up.passed >= *c.up.limit && !c.up.stopped) {
        c.up.stopped = true;
        c.cutUp = true;
    }
    if (c.down.limit && c.down.passed >= *c.down.limit && !c.down.stopped) {
        c.down.stopped = true;
        if (settings_.limits.cutAfter && c.down.passed >= *settings_.limits.cutAfter) {
            c.cutDown = true;
        } else {
            c.frozen = true;
            c.up.stopped = true;
        }
    }
}

bool Relay::reading(const Direction& d) const {
    return !d.ended && !d.stopped && d.queued < settings_.maxQueued;
}

// Poll for reading what `from` carries out of this socket and writing what `to` carries into
// it; a frozen client is watched only for hanging up.
pollfd Relay::watch(int fd, const Direction& from, const Direction& to, bool frozen) const {
    auto events = static_cast<short>((reading(from) ? POLLIN : 0) | (to.blocked ? POLLOUT : 0) |
                                     (frozen ? POLLRDHUP : 0));
    // A socket that nothing is asked of would still report its hang-up at every poll.
    return {events ? fd : -1, events, 0};
}

std::optional<Clock::time_point> Relay::nextDue() const {
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

void Relay::service(Connection& c, short clientEvents, short serverEvents) const {
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
    if ((serverEvents & (POLLIN | POLLHUP | POLLERR)) && reading(c.down)) {
        receive(c, c.server, c.down, false);
    }
    send(c, c.server, c.up);
    send(c, c.client, c.down);
    if (c.closed) {
        return;
    }
    // Either side closing, or a cut, ends the connection once what came before is passed on:
    // what that side sent, or with drainBoth what either side sent.
    bool upEnds = c.up.ended || c.cutUp;
    bool downEnds = c.down.ended || c.cutDown;
    if (settings_.drainBoth ? (upEnds || downEnds) && c.up.flushed() && c.down.flushed()
                            : (upEnds && c.up.flushed()) || (downEnds && c.down.flushed())) {
        c.closed = true;
    }
}

void Relay::receive(Connection& c, int fd, Direction& d, bool fromClient) const {
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
    // With no room for descriptors the kernel closes any that came, as a plain read would.
    if (settings_.descriptors) {
        m.msg_control = control;
        m.msg_controllen = sizeof control;
    }
    ssize_t n = recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    Chunk chunk;
    if (n >= 0) {
        for (cmsghdr* h = CMSG_FIRSTHDR(&m); h; h = CMSG_NXTHDR(&m, h)) {
            if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_RIGHTS) {
                std::size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                const auto* first = reinterpret_cast<const int*>(CMSG_DATA(h));
                chunk.fds.insert(chunk.fds.end(), first, first + count);
            }
        }
    }
    if (n <= 0) {
        d.ended = true;
        return;
    }
    if (settings_.descriptors && (m.msg_flags & MSG_CTRUNC)) {
        warn("descriptors lost: more than " + std::to_string(maxFds) + " in one message");
    }
    auto size = static_cast<std::size_t>(n);
    chunk.due = Clock::now() + settings_.delay;
    chunk.bytes.assign(buffer, buffer + size);
    if (fromClient) {
        c.observer->fromClient(chunk);
    } else {
        c.observer->fromServer(chunk);
    }
    d.passed += size;
    d.queued += size;
    d.queue.push_back(std::move(chunk));
    atLimits(c);
}

void Relay::send(Connection& c, int fd, Direction& d) {
    auto now = Clock::now();
    while (!c.closed && !d.blocked && !d.queue.empty() && d.queue.front().due <= now) {
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

} // namespace lumatap::test
