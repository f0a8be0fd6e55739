#include "audio/pcm.h"

#include <bit>
#include <cstring>

namespace lumatap {
namespace {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

// The loops below are kept free of branches and calls so that the compiler turns each into
// vector code for the baseline instruction set; the stream runs through here for every
// sample.

// Stores a sample little-endian whatever the host's byte order.
inline std::int16_t littleEndian(std::int16_t s) {
    if constexpr (std::endian::native == std::endian::big) {
        auto u = static_cast<std::uint16_t>(s);
        return static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)));
    } else {
        return s;
    }
}

void copyContiguous(const float* __restrict in, std::int16_t* __restrict out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = littleEndian(pcm16(in[k]));
    }
}

void copyDoubled(const float* __restrict in, std::int16_t* __restrict out, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
        std::int16_t s = littleEndian(pcm16(in[i]));
        out[2 * i] = s;
        out[2 * i + 1] = s;
    }
}

void copyPlanar(const float* __restrict left, const float* __restrict right,
                std::int16_t* __restrict out, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = littleEndian(pcm16(left[i]));
        out[2 * i + 1] = littleEndian(pcm16(right[i]));
    }
}

void copyStrided(const float* __restrict in, std::size_t stride, std::int16_t* __restrict out,
                 std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = littleEndian(pcm16(in[i * stride]));
        out[2 * i + 1] = littleEndian(pcm16(in[i * stride + 1]));
    }
}

bool holds(const FloatBuffer& buffer, std::size_t count) {
    return buffer.data != nullptr && buffer.count >= count;
}

} // namespace

std::optional<std::vector<std::uint8_t>> copyPCM16(std::span<const FloatBuffer> sources,
                                                   std::int64_t channels, bool nonInterleaved,
                                                   std::int64_t frames) {
    if (frames < 1 || channels < 1 || sources.empty()) {
        return std::nullopt;
    }
    auto n = static_cast<std::size_t>(frames);
    auto c = static_cast<std::size_t>(channels);
    const FloatBuffer& first = sources[0];
    // Compared by division so that absurd counts cannot overflow into a small product.
    if (first.data == nullptr || first.count / (nonInterleaved ? 1 : c) < n) {
        return std::nullopt;
    }
    const FloatBuffer* right = &first;
    if (nonInterleaved && c >= 2 && sources.size() >= 2) {
        right = &sources[1];
        if (!holds(*right, n)) {
            return std::nullopt;
        }
    }

    // 16-bit samples are written straight into the block: a vector's storage is suitably
    // aligned for any fundamental type.
    std::vector<std::uint8_t> block(4 * n);
    std::int16_t* out = reinterpret_cast<std::int16_t*>(block.data());
    if (!nonInterleaved && c == 2) {
        copyContiguous(first.data, out, 2 * n);
    } else if (!nonInterleaved && c > 2) {
        copyStrided(first.data, c, out, n);
    } else if (right != &first) {
        copyPlanar(first.data, right->data, out, n);
    } else {
        copyDoubled(first.data, out, n);
    }
    return block;
}

} // namespace lumatap
