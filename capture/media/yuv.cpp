#include "capture/media/yuv.h"

#include "capture/media/yuv_kernels.h"
#include "capture/media/yuv_weights.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace lumatap::media {
namespace {

#ifdef LUMATAP_AVX2
bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool hasAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw");
}
#endif

// Whether column x + 8 is column x moved on by the same number of source columns, with the
// same weights, for every x, and any eight columns' taps lie within 16 source columns.
bool repeatsEveryEight(const std::vector<std::uint32_t>& first,
                       const std::vector<std::int16_t>& weights, std::size_t taps) {
    if (taps != 2 || first.size() < 16) {
        return false;
    }
    const std::uint32_t step = first[8] - first[0];
    for (std::size_t x = 0; x + 8 < first.size(); ++x) {
        if (first[x + 8] - first[x] != step || first[x + 7] - first[x] + taps > 16 ||
            weights[2 * x] != weights[2 * x + 16] || weights[2 * x + 1] != weights[2 * x + 17]) {
            return false;
        }
    }
    return true;
}

} // namespace

NV12Scaler::NV12Scaler(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                       std::size_t height, Kernels kernels)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), width_(width), height_(height),
      halving_(sourceWidth == 2 * width) {
#ifdef LUMATAP_SSE2
    if (kernels == Kernels::best && hasAvx512()) {
        vectors_ = Vectors::avx512;
    } else if ((kernels == Kernels::best || kernels == Kernels::avx2) && hasAvx2()) {
        vectors_ = Vectors::avx2;
    } else if (kernels != Kernels::portable) {
        vectors_ = Vectors::sse2;
    }
#else
    static_cast<void>(kernels);
#endif
    if (sourceWidth == 0 || sourceHeight == 0 || width == 0 || height == 0) {
        sourceWidth_ = sourceHeight_ = width_ = height_ = 0;
        return;
    }
    auto columns = yuv::columnWeights(sourceWidth, width);
    columnTaps_ = columns.taps;
    columnFirst_ = std::move(columns.first);
    columnWeights_ = std::move(columns.weights);
    repeating_ = repeatsEveryEight(columnFirst_, columnWeights_, columnTaps_);
    auto rows = yuv::rowWeights(sourceHeight, height);
    rowTaps_ = rows.taps;
    rowFirst_ = std::move(rows.first);
    rowWeights_ = std::move(rows.weights);
}

Area NV12Scaler::sourceArea(const Area& out) const {
    if (out.empty() || width_ == 0) {
        return {};
    }
    if (width_ == sourceWidth_ && height_ == sourceHeight_) {
        return out;
    }
    std::size_t left = columnFirst_[out.x];
    std::size_t right =
        std::min(sourceWidth_, columnFirst_[std::min(out.x + out.width, width_) - 1] + columnTaps_);
    std::size_t top = rowFirst_[out.y];
    std::size_t bottom = rowFirst_[std::min(out.y + out.height, height_) - 1] + rowTaps_;
    return {left, top, right - left, bottom - top};
}

Area NV12Scaler::outputArea(const Area& in) const {
    if (in.empty() || width_ == 0) {
        return {};
    }
    auto affected = [](const std::vector<std::uint32_t>& first, std::size_t taps, std::size_t from,
                       std::size_t to, std::size_t size) -> std::pair<std::size_t, std::size_t> {
        auto begin = std::partition_point(first.begin(), first.end(),
                                          [&](std::uint32_t f) { return f + taps <= from; });
        auto end = std::partition_point(first.begin(), first.end(),
                                        [&](std::uint32_t f) { return f < to; });
        std::size_t lo = static_cast<std::size_t>(begin - first.begin()) & ~std::size_t{1};
        std::size_t hi =
            std::min(size, (static_cast<std::size_t>(end - first.begin()) + 1) & ~std::size_t{1});
        return {lo, std::max(lo, hi)};
    };
    std::pair<std::size_t, std::size_t> across;
    std::pair<std::size_t, std::size_t> down;
    if (width_ == sourceWidth_ && height_ == sourceHeight_) {
        across = {in.x & ~std::size_t{1},
                  std::min(width_, (in.x + in.width + 1) & ~std::size_t{1})};
        down = {in.y & ~std::size_t{1},
                std::min(height_, (in.y + in.height + 1) & ~std::size_t{1})};
    } else {
        across = affected(columnFirst_, columnTaps_, in.x, in.x + in.width, width_);
        down = affected(rowFirst_, rowTaps_, in.y, in.y + in.height, height_);
    }
    if (across.second <= across.first || down.second <= down.first) {
        return {};
    }
    return {across.first, down.first, across.second - across.first, down.second - down.first};
}

void NV12Scaler::convert(const BgraView& pixels, std::size_t pixelsX, std::size_t pixelsY,
                         const Area& out, const NV12Target& target, Scratch& scratch) const {
    if (out.empty() || width_ == 0) {
        return;
    }
    if (width_ == sourceWidth_ && height_ == sourceHeight_) {
        BgraView part{pixels.data + (out.y - pixelsY) * pixels.bytesPerRow + (out.x - pixelsX) * 4,
                      out.width, out.height, pixels.bytesPerRow};
        convertToNV12(part,
                      {target.luma + out.y * target.lumaBytesPerRow + out.x, target.lumaBytesPerRow,
                       target.chroma + out.y / 2 * target.chromaBytesPerRow + out.x,
                       target.chromaBytesPerRow});
        return;
    }
    const Area from = sourceArea(out);
    const std::size_t n = from.width;
    // Room for the last pixel's padding taps, which weigh 0 but are read.
    for (auto* row : {&scratch.top, &scratch.bottom}) {
        row->resize((n + columnTaps_) * 4);
        std::fill(row->begin() + static_cast<std::ptrdiff_t>(n * 4), row->end(), 0);
    }
    // An odd width's last chroma block reads its one column twice: room for a copy.
    scratch.scaledTop.resize((out.width + 1) * 4);
    scratch.scaledBottom.resize((out.width + 1) * 4);
    // Indices relative to the first column worked on.
    scratch.columnFirst.resize(out.width);
    for (std::size_t x = 0; x < out.width; ++x) {
        scratch.columnFirst[x] = static_cast<std::int32_t>(columnFirst_[out.x + x] - from.x);
    }
    const std::int16_t* weights = columnWeights_.data() + out.x * columnTaps_;
#ifdef LUMATAP_AVX512
    // The same for every row of the part.
    std::optional<yuv::RepeatingColumns> repeating;
    if (vectors_ == Vectors::avx512 && repeating_ && out.width >= 8) {
        repeating = yuv::repeatingColumns(scratch.columnFirst.data(), weights);
    }
#endif
    auto across = [&](std::uint16_t* scaled, const std::uint16_t* sums) {
#ifdef LUMATAP_AVX512
        if (repeating) {
            return yuv::resampleRepeating(scaled, sums, scratch.columnFirst.data(), weights,
                                          out.width, n + columnTaps_, *repeating);
        }
#endif
#ifdef LUMATAP_AVX2
        const bool avx2 = vectors_ == Vectors::avx2 || vectors_ == Vectors::avx512;
        if (avx2 && halving_) {
            return yuv::resampleHalf(scaled, sums, scratch.columnFirst.data(), weights, out.width);
        }
        if (avx2 && columnTaps_ == 2) {
            return yuv::resampleRow2(scaled, sums, scratch.columnFirst.data(), weights, out.width);
        }
        if (avx2 && columnTaps_ == 4) {
            return yuv::resampleRow4(scaled, sums, scratch.columnFirst.data(), weights, out.width);
        }
#endif
#ifdef LUMATAP_SSE2
        if (vectors_ != Vectors::none && columnTaps_ % 2 == 0) {
            return yuv::resampleRowSse2(scaled, sums, scratch.columnFirst.data(), weights,
                                        columnTaps_, out.width);
        }
#endif
        yuv::resampleRow(scaled, sums, scratch.columnFirst.data(), weights, columnTaps_, out.width);
    };
    const std::uint8_t* origin = pixels.data + (from.x - pixelsX) * 4;
    auto row = [&](std::size_t y, std::uint16_t* sums, std::uint16_t* scaled) {
        const std::uint16_t* w = rowWeights_.data() + y * rowTaps_;
        const std::uint8_t* source = origin + (rowFirst_[y] - pixelsY) * pixels.bytesPerRow;
        std::size_t k = 1;
        if (rowTaps_ == 2 && std::abs(w[0] - w[1]) <= 1) {
            yuv::meanOfTwoRows(sums, source, source + pixels.bytesPerRow, n * 4);
            k = 2;
        } else if (rowTaps_ >= 2 && w[1]) {
            yuv::weighTwoRows(sums, source, w[0], source + pixels.bytesPerRow, w[1], n * 4);
            k = 2;
        } else {
            yuv::weighRow(sums, source, w[0], n * 4);
        }
        for (; k < rowTaps_; ++k) {
            if (w[k]) {
                yuv::addRow(sums, source + k * pixels.bytesPerRow, w[k], n * 4);
            }
        }
        across(scaled, sums);
        if (out.width % 2) {
            std::memcpy(scaled + out.width * 4, scaled + (out.width - 1) * 4, 4 * sizeof *scaled);
        }
    };
    struct {
        void (*luma)(const std::uint16_t*, std::uint8_t*, std::size_t) = yuv::scaledLuma;
        void (*chroma)(const std::uint16_t*, const std::uint16_t*, std::uint8_t*,
                       std::size_t) = yuv::scaledChroma;
    } colours;
#ifdef LUMATAP_AVX2
    if (vectors_ == Vectors::avx2 || vectors_ == Vectors::avx512) {
        colours.luma = yuv::scaledLumaAvx2;
        colours.chroma = yuv::scaledChromaAvx2;
    }
#endif
#ifdef LUMATAP_AVX512
    if (vectors_ == Vectors::avx512) {
        colours.luma = yuv::scaledLumaAvx512;
        colours.chroma = yuv::scaledChromaAvx512;
    }
#endif
    const std::size_t end = out.y + out.height;
    const std::size_t pairs = (out.width + 1) / 2;
    // The source rows that the next two output rows start on, asked for ahead: fresh from the
    // server, they are rarely in this core's caches, and the processor's own prefetching stops
    // at every page.
    std::size_t fetched = rowFirst_[out.y] + rowTaps_;
    auto fetchAhead = [&](std::size_t y) {
        const std::size_t last = std::min(y + 2, end) - 1;
        const std::size_t until = rowFirst_[last] + rowTaps_;
        for (; fetched < until; ++fetched) {
            const std::uint8_t* source = origin + (fetched - pixelsY) * pixels.bytesPerRow;
            for (std::size_t b = 0; b < n * 4; b += 64) {
                __builtin_prefetch(source + b);
            }
        }
    };
    for (std::size_t y = out.y; y < end; y += 2) {
        if (y + 2 < end) {
            fetchAhead(y + 2);
        }
        std::uint8_t* luma = target.luma + y * target.lumaBytesPerRow + out.x;
        row(y, scratch.top.data(), scratch.scaledTop.data());
        colours.luma(scratch.scaledTop.data(), luma, out.width);
        // An odd last row pairs with itself.
        const std::uint16_t* bottom = scratch.scaledTop.data();
        if (y + 1 < height_) {
            row(y + 1, scratch.bottom.data(), scratch.scaledBottom.data());
            colours.luma(scratch.scaledBottom.data(), luma + target.lumaBytesPerRow, out.width);
            bottom = scratch.scaledBottom.data();
        }
        colours.chroma(scratch.scaledTop.data(), bottom,
                       target.chroma + y / 2 * target.chromaBytesPerRow + out.x, pairs);
    }
}

void convertToNV12(const BgraView& source, const NV12Target& target) {
    const std::size_t w = source.width;
    const std::size_t h = source.height;
    for (std::size_t y = 0; y < h; y += 2) {
        const std::uint8_t* top = source.data + y * source.bytesPerRow;
        // An odd last row pairs with itself.
        const std::uint8_t* bottom = y + 1 < h ? top + source.bytesPerRow : top;
        yuv::lumaRow(top, target.luma + y * target.lumaBytesPerRow, w);
        if (y + 1 < h) {
            yuv::lumaRow(bottom, target.luma + (y + 1) * target.lumaBytesPerRow, w);
        }
        std::uint8_t* chroma = target.chroma + (y / 2) * target.chromaBytesPerRow;
        yuv::chromaRow(top, bottom, chroma, w / 2);
        if (w % 2) {
            yuv::chromaEdge(top + 4 * (w - 1), bottom + 4 * (w - 1), chroma + (w - 1));
        }
    }
}

void paintBlack(const NV12Target& target, std::size_t width, std::size_t height) {
    for (std::size_t y = 0; y < height; ++y) {
        std::memset(target.luma + y * target.lumaBytesPerRow, 16, width);
    }
    const std::size_t chromaBytes = (width + 1) / 2 * 2;
    for (std::size_t y = 0; y < (height + 1) / 2; ++y) {
        std::memset(target.chroma + y * target.chromaBytesPerRow, 128, chromaBytes);
    }
}

} // namespace lumatap::media
