#include "audio/sound.h"

#include "audio/pcm.h"
#include "capture/failure.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"

#include <cstdint>

namespace lumatap {

void Sound::streamDidOutputSampleBuffer(Stream&, const SampleBufferPtr& sampleBuffer,
                                        OutputType type) {
    // The tests run in this order; the first that fails drops the buffer without a word.
    if (type != OutputType::audio) {
        return;
    }
    if (!sampleBuffer || !sampleBuffer->valid) {
        return;
    }
    std::int64_t frames = sampleBuffer->numSamples;
    if (frames < 1) {
        return;
    }
    if (!sampleBuffer->format) {
        return;
    }
    const AudioStreamBasicDescription& format = *sampleBuffer->format;
    if (!(format.formatFlags & audioFormatFlagIsFloat)) {
        return;
    }
    if (format.bitsPerChannel != 32) {
        return;
    }
    std::int64_t channels = format.channelsPerFrame;
    if (channels == 0) {
        return;
    }
    bool nonInterleaved = (format.formatFlags & audioFormatFlagIsNonInterleaved) != 0;

    // The list (and the storage behind it) is held until the conversion is done.
    std::shared_ptr<const AudioBufferList> list = sampleBuffer->audioBufferList;
    if (!list) {
        return;
    }
    std::vector<FloatBuffer> sources;
    sources.reserve(list->buffers.size());
    for (const AudioBuffer& buffer : list->buffers) {
        // A misaligned start cannot hold floats; treated like a missing buffer.
        bool aligned = reinterpret_cast<std::uintptr_t>(buffer.data) % alignof(float) == 0;
        sources.push_back({aligned ? static_cast<const float*>(buffer.data) : nullptr,
                           buffer.dataByteSize / sizeof(float)});
    }
    auto block = copyPCM16(sources, channels, nonInterleaved, frames);
    if (!block) {
        return;
    }
    if (!writeAll(*block)) {
        exitProcess(statusDone);
    }
}

void Sound::streamDidStopWithError(Stream&, ErrorPtr error) {
    failWith(error);
}

} // namespace lumatap
