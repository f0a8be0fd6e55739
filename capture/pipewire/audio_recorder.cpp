#include "capture/pipewire/audio_recorder.h"

#include <algorithm>
#include <spa/param/audio/format-utils.h>
#include <string>

namespace lumatap::pipewire {

AudioRecorder::AudioRecorder(pw_core* core, std::uint32_t node, std::uint64_t serial,
                             std::uint32_t rate, std::uint32_t channels, media::Mixer& mixer,
                             std::mutex& mixLock)
    : node(node), channels(channels), mixer(mixer), mixLock(mixLock) {
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, "lumatap",
        PW_KEY_TARGET_OBJECT, std::to_string(serial).c_str(),
        // Once its application's stream has gone, it must not be moved to the default
        // source (a microphone) instead.
        PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    stream = pw_stream_new(core, "lumatap capture", properties);
    if (!stream) {
        return;
    }
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onProcess;
        return e;
    }();
    pw_stream_add_listener(stream, &listener, &events, this);

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = std::min<std::uint32_t>(channels, SPA_AUDIO_MAX_CHANNELS);
    if (info.channels == 2) {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    } else if (info.channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    }
    std::uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof(buffer));
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    // The data comes on PipeWire's data thread, which may run at real-time priority: a busy
    // machine then holds up neither the recording nor the application it follows.
    auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    {
        std::lock_guard lock(mixLock);
        mixer.add(node);
    }
    if (pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        spa_hook_remove(&listener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
}

AudioRecorder::~AudioRecorder() {
    if (stream) {
        spa_hook_remove(&listener);
        pw_stream_destroy(stream);
    }
    // What it recorded before it ended still plays.
    std::lock_guard lock(mixLock);
    mixer.finish(node);
}

void AudioRecorder::onProcess(void* self) {
    auto* recorder = static_cast<AudioRecorder*>(self);
    const std::size_t frameBytes = recorder->channels * sizeof(float);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(recorder->stream)) {
        spa_buffer* data = buffer->buffer;
        if (data->n_datas > 0 && data->datas[0].data && data->datas[0].chunk) {
            const spa_data& plane = data->datas[0];
            std::uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
            std::uint32_t size = std::min(plane.chunk->size, plane.maxsize - offset);
            const auto* samples = reinterpret_cast<const float*>(
                static_cast<const std::uint8_t*>(plane.data) + offset);
            std::lock_guard lock(recorder->mixLock);
            recorder->mixer.push(recorder->node, samples, size / frameBytes);
        }
        pw_stream_queue_buffer(recorder->stream, buffer);
    }
}

} // namespace lumatap::pipewire
