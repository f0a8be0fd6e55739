// How much each source pixel counts in each output pixel of NV12Scaler, worked out once for a
// pair of sizes: shrinking averages the area each output pixel covers, enlarging interpolates
// linearly. The weights come in the fixed point that the kernels (yuv_kernels.h) take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumatap::media::yuv {

// The fraction bits of the weights across.
constexpr int columnBits = 14;

// Output pixel i is made of the `taps` source pixels from first[i] on, weighed by
// weights[i * taps + k]; missing taps weigh 0.
template <class Weight> struct Weights {
    std::size_t taps = 0;
    std::vector<std::uint32_t> first;
    std::vector<Weight> weights;
};

// Across, from `source` columns to `target`: each output pixel's weights in fixed point of
// columnBits, adding up to exactly 1 << columnBits, the taps padded to 2 or 4 (with weights of
// 0) so that vector code takes them in pairs.
Weights<std::int16_t> columnWeights(std::size_t source, std::size_t target);

// Down, from `source` rows to `target`: each output row's weights in 16-bit fixed point,
// adding up to exactly 65535.
Weights<std::uint16_t> rowWeights(std::size_t source, std::size_t target);

} // namespace lumatap::media::yuv
