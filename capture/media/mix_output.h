// Makes the mix on our own steady clock and delivers it in sample buffers, so the stream runs
// at its real rate, silence included, whether or not anything plays. The sound backends drive
// it from their own loops: a timer every period, and the deliveries of the recordings.
//
// A recording that comes late (a busy machine held up the server or our loop) would leave a
// hole in the mix, and the late sound would then play on behind its time. Instead the mix
// waits for it, a little behind the clock, and catches up once it has come: the bytes come a
// moment later, none are missing, and over any minute their count is the clock's. Only a
// recording later than `lagLimit` is given up on and leaves a hole.
#pragma once

#include "capture/media/mixer.h"
#include "capture/platform.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace lumatap::media {

// Sample buffers of about 10 ms: short enough for a live meter, long enough to be cheap.
inline constexpr std::chrono::milliseconds mixPeriod{10};
// How far behind the clock the mix may fall while it waits for a late recording.
inline constexpr std::chrono::milliseconds lagLimit{250};

class MixOutput {
  public:
    // The mix comes as `channels` interleaved floats at `rate` frames a second.
    MixOutput(Mixer& mixer, std::uint32_t rate, std::uint32_t channels);

    // Where the sample buffers go; from any thread.
    void setOutput(std::shared_ptr<StreamOutput> output, std::shared_ptr<SerialQueue> queue);

    // On the backend's loop, as everything below. Starts the clock now; the buffers are
    // handed out as `stream`'s while it lives.
    void start(std::weak_ptr<Stream> stream);
    bool started() const { return running; }
    // Whether most of a period is due, so that a delivery may make the mix early, with the
    // freshest data, and spare the timer a wake-up.
    bool behind() const;
    // Mixes and hands out what the clock says is due by now, as far as the recordings that
    // play have come (while the mix is less than `lagLimit` behind).
    void produce();

  private:
    std::int64_t due() const;

    Mixer& mixer;
    const std::uint32_t rate;
    const std::uint32_t channels;
    const std::int64_t framesPerPeriod;

    std::mutex outputsMutex;
    std::shared_ptr<StreamOutput> audioOutput;
    std::shared_ptr<SerialQueue> audioQueue;

    bool running = false;
    std::weak_ptr<Stream> stream;
    std::chrono::steady_clock::time_point epoch;
    std::int64_t produced = 0;
};

} // namespace lumatap::media
