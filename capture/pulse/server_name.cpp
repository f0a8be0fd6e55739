#include "capture/pulse/log_silencing.h"
#include "capture/pulse/pulse.h"

#include <pulse/pulseaudio.h>

namespace lumatap::pulse {
namespace {

struct Probe {
    std::optional<std::string> name;
    bool over = false;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* probe = static_cast<Probe*>(userdata);
    if (info && info->server_name) {
        probe->name = info->server_name;
    }
    probe->over = true;
}

void onState(pa_context* context, void* userdata) {
    auto* probe = static_cast<Probe*>(userdata);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (auto* operation = pa_context_get_server_info(context, onServerInfo, probe)) {
            pa_operation_unref(operation);
        } else {
            probe->over = true;
        }
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        probe->over = true;
        break;
    default:
        break;
    }
}

} // namespace

std::optional<std::string> serverName(std::chrono::milliseconds limit) {
    silenceLibpulse();
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) {
        return std::nullopt;
    }
    pa_mainloop_api* api = pa_mainloop_get_api(loop);
    Probe probe;
    pa_context* context = pa_context_new(api, "lumatap");
    if (context) {
        pa_context_set_state_callback(context, onState, &probe);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            timeval deadline{};
            pa_timeval_add(pa_gettimeofday(&deadline),
                           static_cast<pa_usec_t>(limit.count()) * PA_USEC_PER_MSEC);
            pa_time_event* timer = api->time_new(
                api, &deadline,
                [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
                    static_cast<Probe*>(userdata)->over = true;
                },
                &probe);
            while (!probe.over && pa_mainloop_iterate(loop, 1, nullptr) >= 0) {
            }
            api->time_free(timer);
        }
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_mainloop_free(loop);
    return probe.name;
}

} // namespace lumatap::pulse
