#include "capture/x11/yuv.h"

#include "capture/x11/vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lumatap::x11 {
namespace {

// The BT.709 weights of red and blue; green takes the rest.
constexpr double kr = 0.2126;
constexpr double kb = 0.0722;
constexpr double kg = 1 - kr - kb;

// Coefficients in 16-bit fixed point, scaled to the video range (219 steps of luma, 224 of
// chroma for 255 of each primary).
constexpr int bits = 16;
constexpr std::int32_t fixed(double value) {
    return static_cast<std::int32_t>(value * (1 << bits) + (value < 0 ? -0.5 : 0.5));
}
constexpr double lumaScale = 219.0 / 255;
constexpr double chromaScale = 224.0 / 255;
constexpr std::int32_t yR = fixed(kr * lumaScale);
constexpr std::int32_t yG = fixed(kg * lumaScale);
constexpr std::int32_t yB = fixed(kb * lumaScale);
constexpr std::int32_t cbR = fixed(-kr / (2 * (1 - kb)) * chromaScale);
constexpr std::int32_t cbB = fixed(0.5 * chromaScale);
// Chroma weights add up to exactly 0, so every grey has Cb and Cr of exactly 128.
constexpr std::int32_t cbG = -cbR - cbB;
constexpr std::int32_t crR = fixed(0.5 * chromaScale);
constexpr std::int32_t crB = fixed(-kb / (2 * (1 - kr)) * chromaScale);
constexpr std::int32_t crG = -crR - crB;

constexpr std::int32_t lumaBias = (16 << bits) + (1 << (bits - 1));
// Chroma works on sums of four pixels: two more bits.
constexpr std::int32_t chromaBias = (128 << (bits + 2)) + (1 << (bits + 1));

LUMATAP_VECTOR_CLONES
void lumaRow(const std::uint8_t* bgra, std::uint8_t* luma, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* p = bgra + 4 * x;
        std::int32_t sum = yB * p[0] + yG * p[1] + yR * p[2] + lumaBias;
        luma[x] = static_cast<std::uint8_t>(sum >> bits);
    }
}

// Cb/Cr of `pairs` whole 2x2 blocks of the rows `top` and `bottom`.
LUMATAP_VECTOR_CLONES
void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma,
               std::size_t pairs) {
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::uint8_t* a = top + 8 * i;
        const std::uint8_t* b = bottom + 8 * i;
        std::int32_t blue = a[0] + a[4] + b[0] + b[4];
        std::int32_t green = a[1] + a[5] + b[1] + b[5];
        std::int32_t red = a[2] + a[6] + b[2] + b[6];
        chroma[2 * i] = static_cast<std::uint8_t>(
            (cbB * blue + cbG * green + cbR * red + chromaBias) >> (bits + 2));
        chroma[2 * i + 1] = static_cast<std::uint8_t>(
            (crB * blue + crG * green + crR * red + chromaBias) >> (bits + 2));
    }
}

// The last block of an odd-width row: its one column counted twice.
void chromaEdge(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* chroma) {
    std::int32_t blue = 2 * (a[0] + b[0]);
    std::int32_t green = 2 * (a[1] + b[1]);
    std::int32_t red = 2 * (a[2] + b[2]);
    chroma[0] = static_cast<std::uint8_t>((cbB * blue + cbG * green + cbR * red + chromaBias) >>
                                          (bits + 2));
    chroma[1] = static_cast<std::uint8_t>((crB * blue + crG * green + crR * red + chromaBias) >>
                                          (bits + 2));
}

// Adds one source row, weighed, to a row of 8.8 fixed-point sums. The weights of a row's
// source rows add up to 65535, so the sums stay within 16 bits and the multiplication is a
// high half, which vectorises to 16 lanes.
LUMATAP_VECTOR_CLONES
void weighRow(std::uint16_t* sums, const std::uint8_t* row, std::uint16_t weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] = static_cast<std::uint16_t>((std::uint32_t{row[i]} << 8) * weight >> 16);
    }
}

LUMATAP_VECTOR_CLONES
void addRow(std::uint16_t* sums, const std::uint8_t* row, std::uint16_t weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] =
            static_cast<std::uint16_t>(sums[i] + ((std::uint32_t{row[i]} << 8) * weight >> 16));
    }
}

// The colour formula's weights for 8.8 sums, which are 256 * 65535 / 65536 times the pixel.
constexpr float unit = 65536.0f / (256.0f * 65535.0f);
constexpr float lumaB = static_cast<float>(kb * lumaScale) * unit;
constexpr float lumaG = static_cast<float>(kg * lumaScale) * unit;
constexpr float lumaR = static_cast<float>(kr * lumaScale) * unit;
// Chroma works on the sum of two rows.
constexpr float blueB = static_cast<float>(0.5 * chromaScale) * unit / 2;
constexpr float blueR = static_cast<float>(-kr / (2 * (1 - kb)) * chromaScale) * unit / 2;
constexpr float blueG = -blueB - blueR;
constexpr float redR = static_cast<float>(0.5 * chromaScale) * unit / 2;
constexpr float redB = static_cast<float>(-kb / (2 * (1 - kr)) * chromaScale) * unit / 2;
constexpr float redG = -redR - redB;

// Luma of each column of two vertically scaled rows, and the chroma of their pairs.
LUMATAP_VECTOR_CLONES
void columnColours(const std::uint16_t* top, const std::uint16_t* bottom, float* lumaTop,
                   float* lumaBottom, float* blue, float* red, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        float b0 = top[4 * j];
        float g0 = top[4 * j + 1];
        float r0 = top[4 * j + 2];
        float b1 = bottom[4 * j];
        float g1 = bottom[4 * j + 1];
        float r1 = bottom[4 * j + 2];
        lumaTop[j] = lumaB * b0 + lumaG * g0 + lumaR * r0;
        lumaBottom[j] = lumaB * b1 + lumaG * g1 + lumaR * r1;
        float b = b0 + b1;
        float g = g0 + g1;
        float r = r0 + r1;
        blue[j] = blueB * b + blueG * g + blueR * r;
        red[j] = redB * b + redG * g + redR * r;
    }
}

// Resamples one plane across: out[x] from `taps` values from values[first[x]] on. A fixed
// number of taps keeps the loop short; GCC leaves it scalar (it does not deem gathers worth it
// under generic tuning), which is why it works on one plane of floats, not four channels.
template <std::size_t taps>
LUMATAP_VECTOR_CLONES void resampleFixed(float* out, const float* values, const std::int32_t* first,
                                         const float* weights, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        float sum = 0;
        for (std::size_t k = 0; k < taps; ++k) {
            sum += weights[x * taps + k] * values[first[x] + static_cast<std::int32_t>(k)];
        }
        out[x] = sum;
    }
}

void resample(float* out, const float* values, const std::int32_t* first, const float* weights,
              std::size_t taps, std::size_t n) {
    switch (taps) {
    case 1:
        return resampleFixed<1>(out, values, first, weights, n);
    case 2:
        return resampleFixed<2>(out, values, first, weights, n);
    case 3:
        return resampleFixed<3>(out, values, first, weights, n);
    case 4:
        return resampleFixed<4>(out, values, first, weights, n);
    case 5:
        return resampleFixed<5>(out, values, first, weights, n);
    default:
        break;
    }
    for (std::size_t x = 0; x < n; ++x) {
        float sum = 0;
        for (std::size_t k = 0; k < taps; ++k) {
            sum += weights[x * taps + k] * values[first[x] + static_cast<std::int32_t>(k)];
        }
        out[x] = sum;
    }
}

// Rounds to bytes; the bias lets truncation round to nearest.
LUMATAP_VECTOR_CLONES
void pack(std::uint8_t* out, const float* values, float bias, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        out[x] = static_cast<std::uint8_t>(std::clamp(values[x] + bias, 0.0f, 255.0f));
    }
}

LUMATAP_VECTOR_CLONES
void packPairs(std::uint8_t* out, const float* blue, const float* red, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        out[2 * x] = static_cast<std::uint8_t>(std::clamp(blue[x] + 128.5f, 0.0f, 255.0f));
        out[2 * x + 1] = static_cast<std::uint8_t>(std::clamp(red[x] + 128.5f, 0.0f, 255.0f));
    }
}

} // namespace

NV12Scaler::Axis NV12Scaler::axis(std::size_t source, std::size_t target) {
    std::vector<std::vector<double>> spans(target);
    std::vector<std::size_t> starts(target);
    for (std::size_t i = 0; i < target; ++i) {
        if (target <= source) {
            // In units of 1 / target of a source pixel, every boundary is a whole number.
            std::uint64_t begin = std::uint64_t{i} * source;
            std::uint64_t end = begin + source;
            std::uint64_t k = begin / target;
            starts[i] = static_cast<std::size_t>(k);
            for (; k * target < end; ++k) {
                std::uint64_t overlap =
                    std::min((k + 1) * target, end) - std::max(k * target, begin);
                spans[i].push_back(static_cast<double>(overlap) / static_cast<double>(source));
            }
        } else {
            double centre =
                (static_cast<double>(i) + 0.5) * static_cast<double>(source) / target - 0.5;
            double left = std::floor(centre);
            double share = centre - left;
            if (left < 0) {
                starts[i] = 0;
                spans[i] = {1.0};
            } else if (left + 1 >= static_cast<double>(source)) {
                starts[i] = source - 1;
                spans[i] = {1.0};
            } else {
                starts[i] = static_cast<std::size_t>(left);
                spans[i] = {1 - share, share};
            }
        }
    }
    Axis a;
    for (const auto& span : spans) {
        a.taps = std::max(a.taps, span.size());
    }
    a.first.resize(target);
    a.weights.assign(target * a.taps, 0.0f);
    for (std::size_t i = 0; i < target; ++i) {
        // Spans near the end start early instead of running past the source.
        std::size_t first = std::min(starts[i], source - a.taps);
        a.first[i] = static_cast<std::uint32_t>(first);
        for (std::size_t k = 0; k < spans[i].size(); ++k) {
            a.weights[i * a.taps + (starts[i] - first) + k] = static_cast<float>(spans[i][k]);
        }
    }
    return a;
}

NV12Scaler::Axis NV12Scaler::halved(const Axis& columns, std::size_t source) {
    const std::size_t width = columns.first.size();
    const std::size_t blocks = (width + 1) / 2;
    Axis a;
    for (std::size_t j = 0; j < blocks; ++j) {
        std::size_t second = std::min(2 * j + 1, width - 1);
        a.taps = std::max<std::size_t>(a.taps,
                                       columns.first[second] + columns.taps - columns.first[2 * j]);
    }
    a.first.resize(blocks);
    a.weights.assign(blocks * a.taps, 0.0f);
    for (std::size_t j = 0; j < blocks; ++j) {
        std::size_t start = columns.first[2 * j];
        std::size_t first = std::min(start, source - a.taps);
        a.first[j] = static_cast<std::uint32_t>(first);
        for (std::size_t column : {2 * j, std::min(2 * j + 1, width - 1)}) {
            std::size_t shift = columns.first[column] - first;
            for (std::size_t k = 0; k < columns.taps; ++k) {
                a.weights[j * a.taps + shift + k] += columns.weights[column * columns.taps + k] / 2;
            }
        }
    }
    return a;
}

NV12Scaler::NV12Scaler(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                       std::size_t height)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), width_(width), height_(height) {
    if (sourceWidth == 0 || sourceHeight == 0 || width == 0 || height == 0) {
        sourceWidth_ = sourceHeight_ = width_ = height_ = 0;
        return;
    }
    columns_ = axis(sourceWidth, width);
    blocks_ = halved(columns_, sourceWidth);
    Axis rows = axis(sourceHeight, height);
    rowTaps_ = rows.taps;
    rowFirst_ = std::move(rows.first);
    rowWeights_.resize(rows.weights.size());
    for (std::size_t i = 0; i < height; ++i) {
        // Rounded to 16 bits adding up to 65535, the rounding put on the biggest weight.
        std::int64_t total = 0;
        std::size_t biggest = i * rowTaps_;
        for (std::size_t k = i * rowTaps_; k < (i + 1) * rowTaps_; ++k) {
            rowWeights_[k] = static_cast<std::uint16_t>(std::lround(rows.weights[k] * 65535.0));
            total += rowWeights_[k];
            if (rowWeights_[k] > rowWeights_[biggest]) {
                biggest = k;
            }
        }
        rowWeights_[biggest] = static_cast<std::uint16_t>(rowWeights_[biggest] + 65535 - total);
    }
}

std::pair<std::size_t, std::size_t> NV12Scaler::reach(const Axis& a, std::size_t from,
                                                      std::size_t to) {
    return {a.first[from], a.first[to - 1] + a.taps};
}

Area NV12Scaler::sourceArea(const Area& out) const {
    if (out.empty() || width_ == 0) {
        return {};
    }
    if (width_ == sourceWidth_ && height_ == sourceHeight_) {
        return out;
    }
    auto [left, right] = reach(columns_, out.x, out.x + out.width);
    auto [blockLeft, blockRight] = reach(blocks_, out.x / 2, (out.x + out.width + 1) / 2);
    left = std::min(left, blockLeft);
    right = std::max(right, blockRight);
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
        across = affected(columns_.first, columns_.taps, in.x, in.x + in.width, width_);
        // A chroma block may reach further than its two columns.
        auto blocks =
            affected(blocks_.first, blocks_.taps, in.x, in.x + in.width, blocks_.first.size());
        across.first = std::min(across.first, 2 * blocks.first);
        across.second = std::min(width_, std::max(across.second, blocks.second * 2));
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
    scratch.top.resize(n * 4);
    scratch.bottom.resize(n * 4);
    scratch.lumaTop.resize(n);
    scratch.lumaBottom.resize(n);
    scratch.blue.resize(n);
    scratch.red.resize(n);
    const std::size_t block = out.x / 2;
    const std::size_t blocks = (out.x + out.width + 1) / 2 - block;
    // Indices relative to the first column worked on.
    scratch.columnFirst.resize(out.width);
    for (std::size_t x = 0; x < out.width; ++x) {
        scratch.columnFirst[x] = static_cast<std::int32_t>(columns_.first[out.x + x] - from.x);
    }
    scratch.blockFirst.resize(blocks);
    for (std::size_t j = 0; j < blocks; ++j) {
        scratch.blockFirst[j] = static_cast<std::int32_t>(blocks_.first[block + j] - from.x);
    }
    scratch.out.resize(std::max(out.width, 2 * blocks));
    const std::uint8_t* origin = pixels.data + (from.x - pixelsX) * 4;
    auto vertical = [&](std::size_t y, std::uint16_t* sums) {
        const std::uint16_t* w = rowWeights_.data() + y * rowTaps_;
        const std::uint8_t* row = origin + (rowFirst_[y] - pixelsY) * pixels.bytesPerRow;
        weighRow(sums, row, w[0], n * 4);
        for (std::size_t k = 1; k < rowTaps_; ++k) {
            if (w[k]) {
                addRow(sums, row + k * pixels.bytesPerRow, w[k], n * 4);
            }
        }
    };
    const std::size_t end = out.y + out.height;
    for (std::size_t y = out.y; y < end; y += 2) {
        vertical(y, scratch.top.data());
        const bool pair = y + 1 < height_;
        if (pair) {
            vertical(y + 1, scratch.bottom.data());
        }
        columnColours(scratch.top.data(), pair ? scratch.bottom.data() : scratch.top.data(),
                      scratch.lumaTop.data(), scratch.lumaBottom.data(), scratch.blue.data(),
                      scratch.red.data(), n);
        std::uint8_t* luma = target.luma + y * target.lumaBytesPerRow + out.x;
        resample(scratch.out.data(), scratch.lumaTop.data(), scratch.columnFirst.data(),
                 columns_.weights.data() + out.x * columns_.taps, columns_.taps, out.width);
        pack(luma, scratch.out.data(), 16.5f, out.width);
        if (pair) {
            resample(scratch.out.data(), scratch.lumaBottom.data(), scratch.columnFirst.data(),
                     columns_.weights.data() + out.x * columns_.taps, columns_.taps, out.width);
            pack(luma + target.lumaBytesPerRow, scratch.out.data(), 16.5f, out.width);
        }
        std::uint8_t* chroma = target.chroma + y / 2 * target.chromaBytesPerRow + 2 * block;
        resample(scratch.out.data(), scratch.blue.data(), scratch.blockFirst.data(),
                 blocks_.weights.data() + block * blocks_.taps, blocks_.taps, blocks);
        resample(scratch.out.data() + blocks, scratch.red.data(), scratch.blockFirst.data(),
                 blocks_.weights.data() + block * blocks_.taps, blocks_.taps, blocks);
        packPairs(chroma, scratch.out.data(), scratch.out.data() + blocks, blocks);
    }
}

void convertToNV12(const BgraView& source, const NV12Target& target) {
    const std::size_t w = source.width;
    const std::size_t h = source.height;
    for (std::size_t y = 0; y < h; y += 2) {
        const std::uint8_t* top = source.data + y * source.bytesPerRow;
        // An odd last row pairs with itself.
        const std::uint8_t* bottom = y + 1 < h ? top + source.bytesPerRow : top;
        lumaRow(top, target.luma + y * target.lumaBytesPerRow, w);
        if (y + 1 < h) {
            lumaRow(bottom, target.luma + (y + 1) * target.lumaBytesPerRow, w);
        }
        std::uint8_t* chroma = target.chroma + (y / 2) * target.chromaBytesPerRow;
        chromaRow(top, bottom, chroma, w / 2);
        if (w % 2) {
            chromaEdge(top + 4 * (w - 1), bottom + 4 * (w - 1), chroma + (w - 1));
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

} // namespace lumatap::x11
