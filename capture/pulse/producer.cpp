#include "capture/pulse/producer.h"

namespace lumatap::pulse {

Producer::Producer(media::Mixer& mixer, const pa_sample_spec& format)
    : mix(mixer, format.rate, format.channels) {
}

void Producer::start(pa_context* context, std::weak_ptr<Stream> stream) {
    this->context = context;
    mix.start(std::move(stream));
    timer = pa_context_rttime_new(
        context, pa_rtclock_now() + static_cast<pa_usec_t>(mixPeriod.count()) * 1000, onTick, this);
}

void Producer::stop(pa_mainloop_api* api) {
    if (timer) {
        api->time_free(timer);
        timer = nullptr;
    }
}

// While something plays, its deliveries wake the loop every period anyway: the mix is made
// then, with the freshest data, and the timer is pushed back so that it does not wake the loop
// a second time. It fires only while nothing is delivered.
void Producer::delivered() {
    if (mix.behind()) {
        mix.produce();
        rearm();
    }
}

void Producer::onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* producer = static_cast<Producer*>(self);
    producer->mix.produce();
    producer->rearm();
}

void Producer::rearm() {
    if (timer) {
        pa_context_rttime_restart(
            context, timer, pa_rtclock_now() + static_cast<pa_usec_t>(mixPeriod.count()) * 1000);
    }
}

} // namespace lumatap::pulse
