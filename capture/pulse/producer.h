// Makes the mix on our own steady clock and delivers it in sample buffers, so the stream runs
// at its real rate, silence included, whether or not anything plays.
#pragma once

#include "capture/platform.h"
#include "capture/pulse/mixer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pulse/pulseaudio.h>

namespace lumatap::pulse {

// Sample buffers of about 10 ms: short enough for a live meter, long enough to be cheap.
inline constexpr std::chrono::milliseconds period{10};

class Producer {
  public:
    // The mix comes in `format`.
    Producer(Mixer& mixer, const pa_sample_spec& format);

    // Where the sample buffers go; from any thread.
    void setOutput(std::shared_ptr<StreamOutput> output, std::shared_ptr<SerialQueue> queue);

    // On the loop's thread, as everything below. Starts the clock now, and a timer that
    // makes the mix every period; the buffers are handed out as `stream`'s while it lives.
    void start(pa_context* context, std::weak_ptr<Stream> stream);
    // Recordings have been delivered.
    void delivered();
    // Stops the timer, for good.
    void stop(pa_mainloop_api* api);

  private:
    static void onTick(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                       void* self);
    std::int64_t due() const;
    void produce();
    void rearm();

    Mixer& mixer;
    const pa_sample_spec format;
    const std::size_t frameBytes;
    const std::int64_t framesPerPeriod;

    std::mutex outputsMutex;
    std::shared_ptr<StreamOutput> audioOutput;
    std::shared_ptr<SerialQueue> audioQueue;

    pa_context* context = nullptr;
    std::weak_ptr<Stream> stream;
    pa_time_event* timer = nullptr;
    std::chrono::steady_clock::time_point epoch;
    std::int64_t produced = 0;
};

} // namespace lumatap::pulse
