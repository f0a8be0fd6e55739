// The engine of the test relays (the X one and the Wayland one): it accepts clients on the
// sockets it is given, opens a connection to the real server for each, and passes the bytes both
// ways, optionally late, cut short or frozen. Each relay brings its own listening sockets, its
// way to the server, and what it counts of the traffic.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>

namespace lumatap::test {

using Clock = std::chrono::steady_clock;

// Where each connection is cut or frozen, in bytes read from one side.
struct Limits {
    std::optional<std::uint64_t> cutAfter;       // from the server; then both sides close
    std::optional<std::uint64_t> freezeAfter;    // from the server; then nothing moves either way
    std::optional<std::uint64_t> cutClientAfter; // from the client; then both sides close
};

// Names the program in its warnings, lets SIGTERM, SIGINT and SIGHUP end Relay::run, and makes
// a write to a peer that has gone an error rather than the end of the relay.
void startRelay(const char* name);
void warn(const std::string& text);

// A decimal number and nothing else.
bool number(const char* text, std::uint64_t& value);

// What takeLimit found: another option, a limit with its value, or a limit with a bad value.
enum class Taken { other, limit, bad };
// Reads --cut-after, --freeze-after or --cut-client-after with its value into `limits`.
Taken takeLimit(const std::string& arg, const char* value, Limits& limits);

// Bytes read from one side in one go, with the descriptors that came with them; the descriptors
// go out with the first of the bytes, as the kernel would have delivered them.
struct Chunk {
    Clock::time_point due; // when the delay lets it go on
    std::vector<std::uint8_t> bytes;
    std::vector<int> fds;
    std::size_t sent = 0;

    Chunk() = default;
    Chunk(Chunk&& other) noexcept;
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk() { drop(); }
    void drop();
};

// One direction of a connection: what has been read from one side and is yet to be written to
// the other, oldest first.
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

struct Connection;

// Watches one connection: every chunk as it is read (the limits have clipped it already), and
// the connection's end.
class Observer {
  public:
    virtual ~Observer() = default;
    virtual void fromClient(const Chunk& chunk) = 0;
    virtual void fromServer(const Chunk& chunk) = 0;
    virtual void ended(const Connection& c) = 0;
};

struct Connection {
    int number = 0; // from 1, in the order accepted
    int client = -1;
    int server = -1;
    Direction up;   // client to server
    Direction down; // server to client
    std::unique_ptr<Observer> observer;
    bool cutUp = false;
    bool cutDown = false;
    bool frozen = false;
    bool closed = false;

    ~Connection();
};

struct Settings {
    Limits limits;
    Clock::duration delay{}; // how long each chunk waits in its direction
    std::size_t maxQueued;   // beyond this much held one way, reading from its source waits
    bool descriptors;        // SCM_RIGHTS descriptors go along with the bytes, else are dropped
    bool drainBoth;          // an end waits for both ways to be flushed, not only its own
};

class Relay {
  public:
    explicit Relay(Settings settings) : settings_(std::move(settings)) {}
    virtual ~Relay(); // closes the listening sockets
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Relays until a signal asks it to stop, then reports the connections still open.
    void run();

  protected:
    // Accepts clients on `fd` from now on, and closes it at the end.
    void listenOn(int fd);
    void closeListeners();

    // A new connection to the real server, or -1 once the reason is told.
    virtual int connectServer() = 0;
    virtual std::unique_ptr<Observer> observe() = 0;

  private:
    void accept(int listener);
    void atLimits(Connection& c) const;
    bool reading(const Direction& d) const;
    pollfd watch(int fd, const Direction& from, const Direction& to, bool frozen) const;
    std::optional<Clock::time_point> nextDue() const;
    void service(Connection& c, short clientEvents, short serverEvents) const;
    void receive(Connection& c, int fd, Direction& d, bool fromClient) const;
    static void send(Connection& c, int fd, Direction& d);

    Settings settings_;
    std::vector<int> listeners_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int accepted_ = 0;
};

} // namespace lumatap::test
