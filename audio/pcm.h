// The PCM layout of the audio stream: interleaved stereo, signed 16-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lumatap {

// One source buffer of 32-bit floats: where they start and how many there are.
struct FloatBuffer {
    const float* data = nullptr;
    std::size_t count = 0;
};

// One float sample as a 16-bit sample: clamped to [-1, 1] (NaN counts as loud), scaled by
// 32767 in single precision and truncated toward zero, so -32768 never occurs.
inline std::int16_t pcm16(float x) {
    // Multiplied before choosing, with selects only: the compiler keeps a multiply under a
    // condition as a branch (it might trap), and a branch stops the loops from vectorising.
    float scaled = (x < -1.0f ? -1.0f : x) * 32767.0f;
    float y = x < 1.0f ? scaled : 32767.0f;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(y));
}

// The PCM block of `frames` frames, 4 bytes each: left from source channel 0, right from
// source channel 1 (channel 0 again for mono). Interleaved sources are read from the first
// buffer; non-interleaved ones take one buffer per channel. Further channels are dropped.
//
// None when the counts do not fit the data: no frames, no channels, no buffers, a null
// buffer, or a buffer that holds fewer floats than `frames` and `channels` call for. Nothing
// is ever read past a buffer's end.
std::optional<std::vector<std::uint8_t>> copyPCM16(std::span<const FloatBuffer> sources,
                                                   std::int64_t channels, bool nonInterleaved,
                                                   std::int64_t frames);

} // namespace lumatap
