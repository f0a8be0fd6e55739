#include "capture/pulse/recorders.h"

#include "capture/pulse/producer.h"

namespace lumatap::pulse {

Recorders::Recorders(media::Mixer& mixer, const pa_sample_spec& format,
                     std::function<void()> delivered)
    : mixer(mixer), format(format), frameBytes(pa_frame_size(&format)),
      delivered(std::move(delivered)) {
}

Recorders::~Recorders() {
    for (auto& [index, recorder] : recorders) {
        pa_stream_set_read_callback(recorder, nullptr, nullptr);
        pa_stream_set_state_callback(recorder, nullptr, nullptr);
        pa_stream_unref(recorder);
    }
}

void Recorders::follow(pa_context* context, std::uint32_t sinkInput,
                       const std::string& monitorSource) {
    pa_channel_map map;
    pa_channel_map_init_extend(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "lumatap capture");
    pa_stream* recorder =
        pa_stream_new_with_proplist(context, "lumatap capture", &format, &map, properties);
    pa_proplist_free(properties);
    if (!recorder) {
        return;
    }
    if (pa_stream_set_monitor_stream(recorder, sinkInput) < 0) {
        pa_stream_unref(recorder);
        return;
    }
    pa_stream_set_read_callback(recorder, onRead, this);
    pa_stream_set_state_callback(recorder, onRecorderState, this);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    // The server's default fragment is about two seconds; ask for one of our periods.
    attributes.fragsize =
        static_cast<std::uint32_t>(frameBytes * format.rate * mixPeriod.count() / 1000);
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
    const char* device = monitorSource.empty() ? nullptr : monitorSource.c_str();
    if (pa_stream_connect_record(recorder, device, &attributes, flags) < 0) {
        pa_stream_set_read_callback(recorder, nullptr, nullptr);
        pa_stream_set_state_callback(recorder, nullptr, nullptr);
        pa_stream_unref(recorder);
        return;
    }
    recorders[sinkInput] = recorder;
    mixer.add(sinkInput);
}

std::vector<std::uint32_t> Recorders::followed() const {
    std::vector<std::uint32_t> sinkInputs;
    for (const auto& [sinkInput, recorder] : recorders) {
        sinkInputs.push_back(sinkInput);
    }
    return sinkInputs;
}

void Recorders::unfollow(std::uint32_t sinkInput) {
    auto it = recorders.find(sinkInput);
    if (it == recorders.end()) {
        return;
    }
    pa_stream* recorder = it->second;
    recorders.erase(it);
    pa_stream_set_read_callback(recorder, nullptr, nullptr);
    pa_stream_set_state_callback(recorder, nullptr, nullptr);
    auto state = pa_stream_get_state(recorder);
    if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) {
        pa_stream_disconnect(recorder);
    }
    pa_stream_unref(recorder);
    // What it recorded before it ended still plays.
    mixer.finish(sinkInput);
}

void Recorders::unfollowAll() {
    while (!recorders.empty()) {
        unfollow(recorders.begin()->first);
    }
}

void Recorders::onRead(pa_stream* recorder, std::size_t, void* self) {
    auto* recorders = static_cast<Recorders*>(self);
    std::uint32_t sinkInput = pa_stream_get_monitor_stream(recorder);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(recorder, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        // A hole in the recording (data lost on the server's side) counts as silence.
        recorders->mixer.push(sinkInput, static_cast<const float*>(data),
                              bytes / recorders->frameBytes);
        pa_stream_drop(recorder);
    }
    recorders->delivered();
}

void Recorders::onRecorderState(pa_stream* recorder, void* self) {
    auto state = pa_stream_get_state(recorder);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // The playback stream ended or moved away; the server says which by events.
        static_cast<Recorders*>(self)->unfollow(pa_stream_get_monitor_stream(recorder));
    }
}

} // namespace lumatap::pulse
