#include "capture/pulse/producer.h"

#include <vector>

namespace lumatap::pulse {
namespace {

// Sample buffers that may wait for a reader that does not read; past that, new ones are
// dropped rather than piling up in memory.
constexpr std::size_t pendingLimit = 500;

} // namespace

Producer::Producer(Mixer& mixer, const pa_sample_spec& format)
    : mixer(mixer), format(format), frameBytes(pa_frame_size(&format)),
      framesPerPeriod(static_cast<std::int64_t>(
          static_cast<std::size_t>(format.rate * period.count() / 1000))) {
}

void Producer::setOutput(std::shared_ptr<StreamOutput> output, std::shared_ptr<SerialQueue> queue) {
    std::lock_guard lock(outputsMutex);
    audioOutput = std::move(output);
    audioQueue = std::move(queue);
}

void Producer::start(pa_context* context, std::weak_ptr<Stream> stream) {
    this->context = context;
    this->stream = std::move(stream);
    epoch = std::chrono::steady_clock::now();
    timer = pa_context_rttime_new(
        context, pa_rtclock_now() + static_cast<pa_usec_t>(period.count()) * 1000, onTick, this);
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
    if (due() - produced >= 3 * framesPerPeriod / 4) {
        produce();
        rearm();
    }
}

void Producer::onTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* producer = static_cast<Producer*>(self);
    producer->produce();
    producer->rearm();
}

void Producer::rearm() {
    if (timer) {
        pa_context_rttime_restart(context, timer,
                                  pa_rtclock_now() + static_cast<pa_usec_t>(period.count()) * 1000);
    }
}

// The frames that the steady clock says should have been delivered by now.
std::int64_t Producer::due() const {
    using namespace std::chrono;
    auto elapsed = duration_cast<microseconds>(steady_clock::now() - epoch).count();
    return elapsed * format.rate / 1000000;
}

void Producer::produce() {
    std::int64_t due = this->due();
    std::int64_t frames = due - produced;
    if (frames <= 0) {
        return;
    }
    // A loop that was held up for long (a stopped process) does not make up for the whole
    // gap in one go; the clock starts over from now instead.
    std::int64_t most = format.rate;
    if (frames > most) {
        produced = due - most;
        frames = most;
    }
    produced += frames;

    auto samples =
        std::make_shared<std::vector<float>>(static_cast<std::size_t>(frames) * format.channels);
    mixer.mix(samples->data(), static_cast<std::size_t>(frames));

    auto list = std::make_shared<AudioBufferList>();
    list->buffers.push_back(
        {format.channels, static_cast<std::uint32_t>(samples->size() * 4), samples->data()});
    list->storage = samples;
    auto sample = std::make_shared<SampleBuffer>();
    sample->numSamples = frames;
    AudioStreamBasicDescription description;
    description.sampleRate = format.rate;
    description.formatID = 0x6c70636d;                      // 'lpcm'
    description.formatFlags = audioFormatFlagIsFloat | 0x8; // packed
    description.bytesPerPacket = static_cast<std::uint32_t>(frameBytes);
    description.framesPerPacket = 1;
    description.bytesPerFrame = static_cast<std::uint32_t>(frameBytes);
    description.channelsPerFrame = format.channels;
    description.bitsPerChannel = 32;
    sample->format = description;
    sample->audioBufferList = std::move(list);

    std::shared_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(outputsMutex);
        output = audioOutput;
        queue = audioQueue;
    }
    if (!output || queue->pending() >= pendingLimit) {
        return;
    }
    queue->async([weak = stream, output, sample = SampleBufferPtr(std::move(sample))] {
        if (auto self = weak.lock()) {
            output->streamDidOutputSampleBuffer(*self, sample, OutputType::audio);
        }
    });
}

} // namespace lumatap::pulse
