// Drives the mix's clock from the loop: a timer every period, and the deliveries of the
// recordings, which come every period anyway while something plays.
#pragma once

#include "capture/media/mix_output.h"

#include <memory>
#include <pulse/pulseaudio.h>

namespace lumatap::pulse {

using media::mixPeriod;

class Producer {
  public:
    // The mix comes in `format`.
    Producer(media::Mixer& mixer, const pa_sample_spec& format);

    // Where the sample buffers go; from any thread.
    void setOutput(std::shared_ptr<StreamOutput> output, std::shared_ptr<SerialQueue> queue) {
        mix.setOutput(std::move(output), std::move(queue));
    }

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
    void rearm();

    media::MixOutput mix;
    pa_context* context = nullptr;
    pa_time_event* timer = nullptr;
};

} // namespace lumatap::pulse
