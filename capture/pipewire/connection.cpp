#include "capture/pipewire/connection.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <pipewire/pipewire.h>
#include <unistd.h>

namespace lumatap::pipewire {
namespace {

// PipeWire is set up once per process and never torn down: a second pw_init is harmless, but
// a pw_deinit while another connection still runs is not.
void initialise() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Only our own lines may reach standard error; PipeWire logs its warnings there, and reads
// its level again from the configuration whenever a context is made.
void silence() {
    pw_log_set_level(SPA_LOG_LEVEL_NONE);
}

} // namespace

ErrorPtr makeError(ErrorCode code, std::string description) {
    return lumatap::makeError(std::string(errorDomain), code, std::move(description));
}

struct Connection::Hooks {
    spa_hook core{};
    pw_core_events events{};
};

Connection::Connection() : hooks_(std::make_unique<Hooks>()) {
}

std::unique_ptr<Connection> Connection::open(int remoteFd, ErrorPtr& error, bool realtime) {
    initialise();
    std::unique_ptr<Connection> c(new Connection());
    c->loop_ = pw_thread_loop_new("lumatap-pipewire", nullptr);
    if (c->loop_) {
        // client-rt.conf is client.conf with PipeWire's real-time module loaded.
        c->context_ = pw_context_new(
            pw_thread_loop_get_loop(c->loop_),
            realtime ? pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr) : nullptr,
            0);
    }
    silence();
    if (!c->context_ || pw_thread_loop_start(c->loop_) < 0) {
        if (remoteFd >= 0) {
            close(remoteFd);
        }
        error = makeError(noDaemon, "could not start PipeWire's loop");
        return nullptr;
    }
    Lock lock(*c);
    // The fd is PipeWire's from here on, closed by it even when the connection fails.
    c->core_ = remoteFd >= 0 ? pw_context_connect_fd(c->context_, remoteFd, nullptr, 0)
                             : pw_context_connect(c->context_, nullptr, 0);
    if (!c->core_) {
        error = makeError(noDaemon,
                          std::string("could not connect to PipeWire: ") + std::strerror(errno));
        return nullptr;
    }
    c->hooks_->events.version = PW_VERSION_CORE_EVENTS;
    c->hooks_->events.done = [](void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<Connection*>(data);
        if (id == PW_ID_CORE && seq == self->pendingSync_) {
            self->synced_ = true;
            self->signal();
        }
    };
    c->hooks_->events.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
        // Errors of other objects (a stream's node, say) are told to their owners; only the
        // core's own is the connection's.
        if (id != PW_ID_CORE) {
            return;
        }
        auto* self = static_cast<Connection*>(data);
        self->breakWith(makeError(connectionLost, res == -EPIPE ? std::string("PipeWire went away")
                                                                : std::string("PipeWire failed: ") +
                                                                      (message ? message : "")));
    };
    pw_core_add_listener(c->core_, &c->hooks_->core, &c->hooks_->events, c.get());
    // A socket that is no PipeWire daemon is only found out by asking it something.
    if (!c->sync(lock, Clock::now() + std::chrono::seconds(5), error)) {
        return nullptr;
    }
    return c;
}

Connection::~Connection() {
    if (loop_) {
        pw_thread_loop_stop(loop_);
    }
    if (core_) {
        spa_hook_remove(&hooks_->core);
        pw_core_disconnect(core_);
    }
    if (context_) {
        pw_context_destroy(context_);
    }
    if (loop_) {
        pw_thread_loop_destroy(loop_);
    }
}

Connection::Lock::Lock(const Connection& connection) : loop_(connection.loop_) {
    pw_thread_loop_lock(loop_);
}

Connection::Lock::~Lock() {
    pw_thread_loop_unlock(loop_);
}

bool Connection::onLoopThread() const {
    return pw_thread_loop_in_thread(loop_);
}

void Connection::invoke(const std::function<void()>& task) {
    pw_loop_invoke(
        pw_thread_loop_get_loop(loop_),
        [](spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* data) {
            (*static_cast<const std::function<void()>*>(data))();
            return 0;
        },
        0, nullptr, 0, true, const_cast<std::function<void()>*>(&task));
}

bool Connection::wait(Lock&, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    timespec until{};
    pw_thread_loop_get_time(loop_, &until, left.count());
    return pw_thread_loop_timed_wait_full(loop_, &until) == 0;
}

void Connection::signal() {
    pw_thread_loop_signal(loop_, false);
}

bool Connection::sync(Lock& lock, Clock::time_point deadline, ErrorPtr& error) {
    synced_ = false;
    pendingSync_ = pw_core_sync(core_, PW_ID_CORE, 0);
    while (!synced_ && !broken_) {
        if (!wait(lock, deadline) && Clock::now() >= deadline) {
            error = makeError(timedOut, "PipeWire did not answer");
            return false;
        }
    }
    if (broken_) {
        error = broken_;
        return false;
    }
    return true;
}

void Connection::onBreak(std::function<void(const ErrorPtr&)> handler) {
    breakHandler_ = std::move(handler);
}

void Connection::breakWith(ErrorPtr error) {
    if (broken_) {
        return;
    }
    broken_ = std::move(error);
    if (breakHandler_) {
        breakHandler_(broken_);
    }
    signal();
}

} // namespace lumatap::pipewire
