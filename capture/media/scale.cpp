#include "capture/media/scale.h"

#include "capture/media/vector_clones.h"

#include <algorithm>
#include <cstring>

namespace lumatap::media {
namespace {

// Weights are fixed-point fractions of this; sums of bytes times weights stay within 32 bits.
constexpr std::uint32_t one = 1u << 16;

LUMATAP_VECTOR_CLONES
void weighRow(std::uint32_t* sums, const std::uint8_t* row, std::uint32_t weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] = row[i] * weight;
    }
}

LUMATAP_VECTOR_CLONES
void addRow(std::uint32_t* sums, const std::uint8_t* row, std::uint32_t weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] += row[i] * weight;
    }
}

LUMATAP_VECTOR_CLONES
void narrow(std::uint16_t* out, const std::uint32_t* sums, std::size_t n) {
    // Weights add up to `one`, so each sum is at most 255 << 16 and fits 16 bits after this.
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint16_t>((sums[i] + 128) >> 8);
    }
}

void copy(const BgraView& source, std::uint8_t* out, std::size_t outBytesPerRow, bool keepsAlpha) {
    for (std::size_t y = 0; y < source.height; ++y) {
        const std::uint8_t* from = source.data + y * source.bytesPerRow;
        std::uint8_t* to = out + y * outBytesPerRow;
        std::memcpy(to, from, source.width * 4);
        for (std::size_t x = 0; x < source.width && !keepsAlpha; ++x) {
            to[4 * x + 3] = 255;
        }
    }
}

} // namespace

Scaler::Axis Scaler::axis(std::size_t source, std::size_t target) {
    // Measured in units of 1 / (source * target) of the whole length: a source pixel is
    // `target` units long and an output pixel `source` units, so every boundary is a whole
    // number and the overlaps come out exact.
    Axis a;
    a.spans.resize(target);
    for (std::size_t i = 0; i < target; ++i) {
        std::uint64_t begin = std::uint64_t{i} * source;
        std::uint64_t end = begin + source;
        std::uint64_t first = begin / target;
        std::uint64_t last = (end + target - 1) / target;
        Span& span = a.spans[i];
        span.offset = static_cast<std::uint32_t>(a.weights.size());
        // Each weight is the step between rounded running totals of the overlaps, so the
        // weights add up to exactly `one` and none can go negative. Rounded one by one, their
        // errors piled up at ratios of hundreds to more than the weight that was to absorb them.
        std::uint64_t covered = 0;
        std::uint64_t before = 0;
        for (std::uint64_t k = first; k < last; ++k) {
            covered += std::min((k + 1) * target, end) - std::max(k * target, begin);
            std::uint64_t upTo = (covered * one + source / 2) / source;
            auto weight = static_cast<std::uint32_t>(upTo - before);
            before = upTo;
            if (weight == 0 && a.weights.size() == span.offset) {
                ++first; // a sliver too thin to count; skip rather than multiply by zero
                continue;
            }
            a.weights.push_back(weight);
        }
        while (a.weights.size() > span.offset + 1 && a.weights.back() == 0) {
            a.weights.pop_back();
        }
        span.first = static_cast<std::uint32_t>(first);
        span.count = static_cast<std::uint32_t>(a.weights.size() - span.offset);
    }
    return a;
}

Scaler::Scaler(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
               std::size_t height, bool keepsAlpha)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), width_(width), height_(height),
      keepsAlpha_(keepsAlpha) {
    if (sourceWidth == 0 || sourceHeight == 0 || width == 0 || height == 0) {
        width_ = height_ = 0;
        return;
    }
    if (sourceWidth == width && sourceHeight == height) {
        return;
    }
    columns_ = axis(sourceWidth, width);
    rows_ = axis(sourceHeight, height);
    sums_.resize(sourceWidth * 4);
    column_.resize(sourceWidth * 4);
}

void Scaler::scale(const BgraView& source, std::uint8_t* out, std::size_t outBytesPerRow) {
    scale(source, 0, out, outBytesPerRow, 0, height_);
}

Scaler::Rows Scaler::sourceRows(std::size_t firstRow, std::size_t endRow) const {
    endRow = std::min(endRow, height_);
    if (firstRow >= endRow) {
        return {};
    }
    if (sourceHeight_ == height_) {
        return {firstRow, endRow};
    }
    const Span& last = rows_.spans[endRow - 1];
    return {rows_.spans[firstRow].first, std::size_t{last.first} + last.count};
}

void Scaler::scale(const BgraView& band, std::size_t bandTop, std::uint8_t* out,
                   std::size_t outBytesPerRow, std::size_t firstRow, std::size_t endRow) {
    endRow = std::min(endRow, height_);
    if (width_ == 0 || firstRow >= endRow) {
        return;
    }
    if (sourceWidth_ == width_ && sourceHeight_ == height_) {
        BgraView rows{band.data + (firstRow - bandTop) * band.bytesPerRow, band.width,
                      endRow - firstRow, band.bytesPerRow};
        copy(rows, out + firstRow * outBytesPerRow, outBytesPerRow, keepsAlpha_);
        return;
    }
    const std::size_t n = sourceWidth_ * 4;
    for (std::size_t y = firstRow; y < endRow; ++y) {
        // Down first: every source row is read once (twice where it straddles two output
        // rows), in memory order.
        const Span& r = rows_.spans[y];
        const std::uint32_t* rw = rows_.weights.data() + r.offset;
        const std::uint8_t* row = band.data + (r.first - bandTop) * band.bytesPerRow;
        weighRow(sums_.data(), row, rw[0], n);
        for (std::uint32_t k = 1; k < r.count; ++k) {
            addRow(sums_.data(), row + k * band.bytesPerRow, rw[k], n);
        }
        narrow(column_.data(), sums_.data(), n);
        // Then across, on the one summed row.
        std::uint8_t* to = out + y * outBytesPerRow;
        for (std::size_t x = 0; x < width_; ++x) {
            const Span& c = columns_.spans[x];
            const std::uint32_t* cw = columns_.weights.data() + c.offset;
            const std::uint16_t* p = column_.data() + std::size_t{c.first} * 4;
            std::uint32_t b = 0;
            std::uint32_t g = 0;
            std::uint32_t red = 0;
            std::uint32_t a = 0;
            for (std::uint32_t k = 0; k < c.count; ++k, p += 4) {
                b += p[0] * cw[k];
                g += p[1] * cw[k];
                red += p[2] * cw[k];
                a += p[3] * cw[k];
            }
            constexpr std::uint32_t half = 1u << 23;
            to[4 * x] = static_cast<std::uint8_t>((b + half) >> 24);
            to[4 * x + 1] = static_cast<std::uint8_t>((g + half) >> 24);
            to[4 * x + 2] = static_cast<std::uint8_t>((red + half) >> 24);
            to[4 * x + 3] = keepsAlpha_ ? static_cast<std::uint8_t>((a + half) >> 24) : 255;
        }
    }
}

Image scaled(const BgraView& source, std::size_t width, std::size_t height) {
    Image image;
    image.width = width;
    image.height = height;
    image.bytesPerRow = width * 4;
    image.pixels.resize(image.bytesPerRow * height);
    Scaler(source.width, source.height, width, height)
        .scale(source, image.pixels.data(), image.bytesPerRow);
    return image;
}

} // namespace lumatap::media
