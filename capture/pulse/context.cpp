#include "capture/pulse/context.h"

#include <chrono>

namespace lumatap::pulse {
namespace {

// A server that takes the connection but never answers would hold the start forever.
constexpr std::chrono::seconds startTimeout{5};

pa_context* newContext(pa_mainloop_api* api) {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "lumatap");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "lumatap");
    pa_context* context = pa_context_new_with_proplist(api, "lumatap", properties);
    pa_proplist_free(properties);
    return context;
}

// A connection that never starts a sound server of its own: with no server, the capture
// fails instead of inventing a silent one.
int connectToServer(pa_context* context) {
    return pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
}

} // namespace

ErrorPtr serverError(const std::string& what, int code) {
    return makeError(errorDomain, code, what + " (" + pa_strerror(code) + ")");
}

void drop(pa_operation* operation) {
    if (operation) {
        pa_operation_unref(operation);
    }
}

Context::~Context() {
    if (!loop) {
        return;
    }
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_threaded_mainloop_free(loop);
}

bool Context::startLoop() {
    loop = pa_threaded_mainloop_new();
    if (!loop) {
        return false;
    }
    pa_threaded_mainloop_set_name(loop, "lumatap-pulse");
    return pa_threaded_mainloop_start(loop) >= 0;
}

void Context::stopLoop() {
    if (loop) {
        pa_threaded_mainloop_stop(loop);
    }
}

ErrorPtr Context::connect(Listener& listener) {
    this->listener = &listener;
    context = newContext(pa_threaded_mainloop_get_api(loop));
    if (!context) {
        return makeError(errorDomain, PA_ERR_INTERNAL, "no sound server is reachable");
    }
    pa_context_set_state_callback(context, onState, this);
    if (connectToServer(context) < 0) {
        return serverError("no sound server is reachable", pa_context_errno(context));
    }
    startTimer = pa_context_rttime_new(
        context,
        pa_rtclock_now() + static_cast<pa_usec_t>(std::chrono::microseconds(startTimeout).count()),
        onStartTimeout, this);
    return nullptr;
}

void Context::disarmStartTimeout() {
    if (startTimer) {
        pa_threaded_mainloop_get_api(loop)->time_free(startTimer);
        startTimer = nullptr;
    }
}

void Context::onState(pa_context* context, void* self) {
    Listener& listener = *static_cast<Context*>(self)->listener;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        listener.contextReady(context);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        listener.contextFailed(pa_context_errno(context));
        break;
    default:
        break;
    }
}

void Context::onStartTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                             void* self) {
    auto* context = static_cast<Context*>(self);
    api->time_free(event);
    context->startTimer = nullptr;
    context->listener->startTimedOut();
}

} // namespace lumatap::pulse
