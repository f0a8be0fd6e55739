#include "capture/media/mix_output.h"

#include <algorithm>
#include <vector>

namespace lumatap::media {
namespace {

// Sample buffers that may wait for a reader that does not read; past that, new ones are
// dropped rather than piling up in memory.
constexpr std::size_t pendingLimit = 500;

} // namespace

MixOutput::MixOutput(Mixer& mixer, std::uint32_t rate, std::uint32_t channels)
    : mixer(mixer), rate(rate), channels(channels),
      framesPerPeriod(static_cast<std::int64_t>(rate) * mixPeriod.count() / 1000) {
}

void MixOutput::setOutput(std::shared_ptr<StreamOutput> output,
                          std::shared_ptr<SerialQueue> queue) {
    std::lock_guard lock(outputsMutex);
    audioOutput = std::move(output);
    audioQueue = std::move(queue);
}

void MixOutput::start(std::weak_ptr<Stream> stream) {
    this->stream = std::move(stream);
    epoch = std::chrono::steady_clock::now();
    running = true;
}

bool MixOutput::behind() const {
    return running && due() - produced >= 3 * framesPerPeriod / 4;
}

// The frames that the steady clock says should have been delivered by now.
std::int64_t MixOutput::due() const {
    using namespace std::chrono;
    auto elapsed = duration_cast<microseconds>(steady_clock::now() - epoch).count();
    return elapsed * rate / 1000000;
}

void MixOutput::produce() {
    if (!running) {
        return;
    }
    std::int64_t due = this->due();
    std::int64_t frames = due - produced;
    if (frames <= 0) {
        return;
    }
    // A loop that was held up for long (a stopped process) does not make up for the whole
    // gap in one go; the clock starts over from now instead.
    std::int64_t most = rate;
    if (frames > most) {
        produced = due - most;
        frames = most;
    }
    // What is due beyond what every playing recording holds waits for them, up to the limit.
    auto available = static_cast<std::int64_t>(std::min<std::size_t>(mixer.ready(), rate));
    if (frames > available && frames < static_cast<std::int64_t>(rate) * lagLimit.count() / 1000) {
        frames = available;
        if (frames <= 0) {
            return;
        }
    }
    produced += frames;

    auto samples =
        std::make_shared<std::vector<float>>(static_cast<std::size_t>(frames) * channels);
    mixer.mix(samples->data(), static_cast<std::size_t>(frames));

    auto frameBytes = static_cast<std::uint32_t>(channels * sizeof(float));
    auto list = std::make_shared<AudioBufferList>();
    list->buffers.push_back(
        {channels, static_cast<std::uint32_t>(samples->size() * sizeof(float)), samples->data()});
    list->storage = samples;
    auto sample = std::make_shared<SampleBuffer>();
    sample->numSamples = frames;
    AudioStreamBasicDescription description;
    description.sampleRate = rate;
    description.formatID = 0x6c70636d;                      // 'lpcm'
    description.formatFlags = audioFormatFlagIsFloat | 0x8; // packed
    description.bytesPerPacket = frameBytes;
    description.framesPerPacket = 1;
    description.bytesPerFrame = frameBytes;
    description.channelsPerFrame = channels;
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

} // namespace lumatap::media
