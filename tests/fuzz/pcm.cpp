// Float to s16le conversion for any channel count, layout, frame count, buffer set and float
// bit pattern (NaN, infinities, subnormals): refused exactly when the buffers cannot hold the
// frames, never read past a buffer (ASan), otherwise 4 bytes a frame, every sample within
// [-32767, 32767] and equal to the plain conversion of the float the layout names.
#include "audio/pcm.h"

#include "tests/fuzz/check.h"

#include <bit>
#include <cmath>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

namespace lumatap {
namespace {

using fuzz::check;

// Clamped to [-1, 1] with NaN as loud, scaled in single precision, truncated toward zero.
std::int16_t reference(float x) {
    if (std::isnan(x) || x >= 1.0f) {
        return 32767;
    }
    if (x <= -1.0f) {
        return -32767;
    }
    return static_cast<std::int16_t>(std::trunc(x * 32767.0f));
}

std::int64_t count(FuzzedDataProvider& input, std::int64_t usual) {
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 0:
        return input.ConsumeIntegral<std::int64_t>();
    case 1:
        return input.ConsumeIntegralInRange<std::int64_t>(-1, 1);
    default:
        return input.ConsumeIntegralInRange<std::int64_t>(1, usual);
    }
}

} // namespace
} // namespace lumatap

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumatap;
    FuzzedDataProvider input(data, size);
    const std::int64_t channels = count(input, 8);
    const std::int64_t frames = count(input, 300);
    const bool nonInterleaved = input.ConsumeBool();
    const std::size_t bufferCount = input.ConsumeIntegralInRange(0, 8);

    // What the counts call for, per buffer; the buffers themselves a little either side. Counts
    // too large to hold get buffers of a few floats.
    const bool possible = channels >= 1 && frames >= 1;
    std::uint64_t need = 0;
    bool huge = false;
    if (possible) {
        huge = __builtin_mul_overflow(static_cast<std::uint64_t>(frames),
                                      nonInterleaved ? 1 : static_cast<std::uint64_t>(channels),
                                      &need) ||
               need > 1 << 18;
    }
    const std::size_t base = huge ? 0 : need;
    std::vector<std::size_t> sizes;
    std::vector<bool> nulls;
    for (std::size_t b = 0; b < bufferCount; ++b) {
        const auto skew = input.ConsumeIntegralInRange<std::int64_t>(-2, 2);
        sizes.push_back(skew < 0 && base < static_cast<std::size_t>(-skew) ? 0 : base + skew);
        nulls.push_back(input.ConsumeIntegralInRange(0, 15) == 0);
    }
    std::vector<std::unique_ptr<float[]>> storage;
    std::vector<FloatBuffer> buffers;
    for (std::size_t b = 0; b < bufferCount; ++b) {
        // Exactly the floats on the heap (one for an empty buffer, to have an address).
        storage.push_back(std::make_unique<float[]>(std::max<std::size_t>(1, sizes[b])));
        for (std::size_t k = 0; k < sizes[b]; ++k) {
            // From the input while it lasts, then a spread of bit patterns.
            const std::uint32_t bits = input.remaining_bytes() >= 4
                                           ? input.ConsumeIntegral<std::uint32_t>()
                                           : static_cast<std::uint32_t>(k * 2654435761u + b);
            storage.back()[k] = std::bit_cast<float>(bits);
        }
        buffers.push_back({nulls[b] ? nullptr : storage.back().get(), sizes[b]});
    }

    const auto block = copyPCM16(buffers, channels, nonInterleaved, frames);

    const auto holds = [&](std::size_t b) {
        return b < buffers.size() && buffers[b].data != nullptr && buffers[b].count >= need;
    };
    // Planar stereo takes its right side from the second buffer when there is one.
    const bool planarRight = nonInterleaved && channels >= 2 && buffers.size() >= 2;
    const bool fits = possible && !huge && holds(0) && (!planarRight || holds(1));
    check(block.has_value() == fits, "refused exactly when the buffers cannot hold the frames");
    if (!block) {
        return 0;
    }
    const auto n = static_cast<std::size_t>(frames);
    const auto c = static_cast<std::size_t>(channels);
    check(block->size() == 4 * n, "4 bytes a frame");
    for (std::size_t i = 0; i < n; ++i) {
        float left = 0;
        float right = 0;
        if (!nonInterleaved) {
            left = buffers[0].data[i * c];
            right = buffers[0].data[i * c + (c >= 2 ? 1 : 0)];
        } else {
            left = buffers[0].data[i];
            right = planarRight ? buffers[1].data[i] : left;
        }
        const auto sample = [&](std::size_t k) {
            return static_cast<std::int16_t>((*block)[2 * k] | ((*block)[2 * k + 1] << 8));
        };
        check(sample(2 * i) >= -32767 && sample(2 * i + 1) >= -32767, "-32768 never occurs");
        check(sample(2 * i) == reference(left), "left is the plain conversion of channel 0");
        check(sample(2 * i + 1) == reference(right),
              "right is the plain conversion of channel 1, or channel 0 for mono");
    }
    return 0;
}
