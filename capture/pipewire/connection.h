// A connection to a PipeWire daemon, for whatever reads from it: a screencast's video node or
// the sound. PipeWire's objects live on a loop of their own, run here by a thread of its own
// (a pw_thread_loop): its callbacks come on that thread, and any other thread that touches
// the connection's objects does so holding the loop's lock.
#pragma once

#include "capture/platform.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace lumatap::pipewire {

using Clock = std::chrono::steady_clock;

// The error domain of this layer, and its codes.
inline constexpr std::string_view errorDomain = "PipeWire";
enum ErrorCode : std::int64_t {
    noDaemon = 1,       // no PipeWire daemon answers, or the remote given is not one
    connectionLost = 2, // the daemon went away or refused the connection
    timedOut = 3,       // the daemon did not answer in time
    streamEnded = 4,    // a stream stopped, failed or lost its node
};

ErrorPtr makeError(ErrorCode code, std::string description);

class Connection {
  public:
    // Connects to the daemon of the session (PIPEWIRE_REMOTE, else the default socket under
    // XDG_RUNTIME_DIR) when `remoteFd` is negative, else through `remoteFd`, an open
    // connection such as a desktop portal hands out; the connection takes it over either way.
    // `realtime` asks for PipeWire's real-time data thread (through RTKit, or directly where
    // the limits allow), for readers that must keep up with the graph on a busy machine.
    static std::unique_ptr<Connection> open(int remoteFd, ErrorPtr& error, bool realtime = false);
    // Whatever was made on the core (streams, registries, listeners) must be destroyed first.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Held to touch the connection's objects from any thread but the loop's own; the loop's
    // callbacks run with it held already. Recursive.
    class Lock {
      public:
        explicit Lock(const Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pw_thread_loop* loop_;
    };

    pw_thread_loop* loop() const { return loop_; }
    // Used with the lock held.
    pw_core* core() const { return core_; }
    bool onLoopThread() const;

    // Runs `task` on the loop thread and returns once it has run. Not to be called with the
    // lock held from another thread.
    void invoke(const std::function<void()>& task);

    // Waits, with the lock held, until the loop signals (a callback called `signal`), or the
    // deadline comes; false at the deadline. Wakes also when the connection breaks.
    bool wait(Lock& lock, Clock::time_point deadline);
    // Wakes every `wait`; called with the lock held, mostly from the loop's callbacks.
    void signal();

    // Asks the daemon to answer once it has handled everything sent before: when this returns
    // true, the answers to what was asked before have all come. False with `error` when the
    // connection broke or the deadline passed. With the lock held, not on the loop thread.
    bool sync(Lock& lock, Clock::time_point deadline, ErrorPtr& error);

    // Why the connection broke (the daemon went away, or it failed the core), or null while it
    // stands. With the lock held.
    ErrorPtr broken() const { return broken_; }
    // Calls `handler` on the loop thread, once, when the connection breaks; not at all when it
    // has already broken (`broken` tells that). One handler per user: a later call replaces
    // it, null removes it. With the lock held.
    void onBreak(std::function<void(const ErrorPtr&)> handler);

  private:
    struct Hooks;
    Connection();
    void breakWith(ErrorPtr error);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::unique_ptr<Hooks> hooks_;
    ErrorPtr broken_;
    std::function<void(const ErrorPtr&)> breakHandler_;
    int pendingSync_ = -1;
    bool synced_ = false;
};

} // namespace lumatap::pipewire
