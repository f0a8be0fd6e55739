#include "capture/pulse/latency_keeper.h"

#include <cstdint>

namespace lumatap::pulse {

LatencyKeeper::~LatencyKeeper() {
    if (keeper) {
        pa_stream_set_read_callback(keeper, nullptr, nullptr);
        pa_stream_unref(keeper);
    }
}

void LatencyKeeper::keepAwake(pa_context* context, const std::string& monitorSource) {
    close();
    if (monitorSource.empty()) {
        return;
    }
    pa_sample_spec peaks{PA_SAMPLE_FLOAT32NE, 25, 1};
    keeper = pa_stream_new(context, "lumatap latency", &peaks, nullptr);
    if (!keeper) {
        return;
    }
    pa_stream_set_read_callback(
        keeper,
        [](pa_stream* s, std::size_t, void*) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
                pa_stream_drop(s);
            }
        },
        nullptr);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = sizeof(float);
    auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_PEAK_DETECT |
                                       PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
    if (pa_stream_connect_record(keeper, monitorSource.c_str(), &attributes, flags) < 0) {
        close();
    }
}

void LatencyKeeper::close() {
    if (!keeper) {
        return;
    }
    pa_stream_set_read_callback(keeper, nullptr, nullptr);
    auto state = pa_stream_get_state(keeper);
    if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) {
        pa_stream_disconnect(keeper);
    }
    pa_stream_unref(keeper);
    keeper = nullptr;
}

} // namespace lumatap::pulse
