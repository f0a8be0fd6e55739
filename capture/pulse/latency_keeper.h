// A sink renders in blocks as long as the longest latency its clients allow, and a record
// stream that attaches to one of its playback streams only gets data from the next block on:
// up to two seconds later for a player that buffers a lot. A record stream of our own on the
// sink's monitor, asking for short fragments, keeps the sink's blocks short whenever it
// plays, so a playback stream that starts is heard within a block. It asks for peaks only,
// one value per block and 25 a second, so it costs next to nothing; they are thrown away.
#pragma once

#include <pulse/pulseaudio.h>
#include <string>

namespace lumatap::pulse {

class LatencyKeeper {
  public:
    LatencyKeeper() = default;
    // Lets go of the stream without a word to the server: only once the loop has stopped.
    ~LatencyKeeper();
    LatencyKeeper(const LatencyKeeper&) = delete;
    LatencyKeeper& operator=(const LatencyKeeper&) = delete;

    // Keeps the sink of `monitorSource` awake instead of the one before (none when empty).
    // On the loop's thread, as close.
    void keepAwake(pa_context* context, const std::string& monitorSource);
    void close();

  private:
    pa_stream* keeper = nullptr;
};

} // namespace lumatap::pulse
