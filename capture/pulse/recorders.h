// One record stream per followed playback stream (sink input), attached to that playback
// stream alone (the server's "monitor stream"), each feeding its own source of the mix.
#pragma once

#include "capture/media/mixer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <pulse/pulseaudio.h>
#include <string>
#include <vector>

namespace lumatap::pulse {

class Recorders {
  public:
    // `delivered` runs after each delivery has gone into the mixer. Recordings come in
    // `format`.
    Recorders(media::Mixer& mixer, const pa_sample_spec& format, std::function<void()> delivered);
    // Lets go of the streams without a word to the server: only once the loop has stopped.
    ~Recorders();
    Recorders(const Recorders&) = delete;
    Recorders& operator=(const Recorders&) = delete;

    // On the loop's thread, as everything below.
    bool follows(std::uint32_t sinkInput) const { return recorders.count(sinkInput) > 0; }
    std::vector<std::uint32_t> followed() const;
    // Starts recording the playback stream, which plays on the sink of `monitorSource` (the
    // server's choice when empty).
    void follow(pa_context* context, std::uint32_t sinkInput, const std::string& monitorSource);
    void unfollow(std::uint32_t sinkInput);
    void unfollowAll();

  private:
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onRecorderState(pa_stream* stream, void* self);

    media::Mixer& mixer;
    const pa_sample_spec format;
    const std::size_t frameBytes;
    const std::function<void()> delivered;
    std::map<std::uint32_t, pa_stream*> recorders;
};

} // namespace lumatap::pulse
