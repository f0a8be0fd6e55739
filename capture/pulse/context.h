// The connection to the sound server: a threaded main loop with a context on it, that never
// starts a server of its own and gives up on a server that does not answer in time.
//
// Everything that touches the server runs on the loop's thread, or on another thread under
// the loop's lock.
#pragma once

#include "capture/platform.h"

#include <pulse/pulseaudio.h>
#include <string>

namespace lumatap::pulse {

inline constexpr const char* errorDomain = "lumatap.pulse";

// `what` failed, with libpulse's word for `code`.
ErrorPtr serverError(const std::string& what, int code);

// Lets go of an operation; its answer, if any, comes to its callback.
void drop(pa_operation* operation);

class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

class Context {
  public:
    // What becomes of the context, told on the loop's thread.
    class Listener {
      public:
        virtual void contextReady(pa_context* context) = 0;
        virtual void contextFailed(int code) = 0;
        // The start time-out has passed; it keeps running until disarmStartTimeout.
        virtual void startTimedOut() = 0;

      protected:
        ~Listener() = default;
    };

    Context() = default;
    // Disconnects the context and frees the loop. The loop must have been stopped, and the
    // streams on the context let go of, before.
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Makes the loop and starts its thread; false when it cannot run. A loop once made, even
    // one that did not start, stays.
    bool startLoop();
    bool loopMade() const { return loop != nullptr; }
    // Nothing runs on the loop's thread once this returns.
    void stopLoop();
    pa_threaded_mainloop* mainLoop() const { return loop; }
    pa_context* get() const { return context; }

    // Under the loop's lock: makes the context, connects it and arms the start time-out. An
    // error when that fails at once; what happens later goes to `listener` (which may already
    // have heard of a failure when this returns).
    ErrorPtr connect(Listener& listener);
    // The start is over, one way or the other: the time-out no longer applies.
    void disarmStartTimeout();

  private:
    static void onState(pa_context* context, void* self);
    static void onStartTimeout(pa_mainloop_api* api, pa_time_event* event,
                               const struct timeval* when, void* self);

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_time_event* startTimer = nullptr;
    Listener* listener = nullptr;
};

} // namespace lumatap::pulse
