// The plain C++ kernels of yuv_kernels.h. The compiler vectorises their loops (at -O3), and the
// hottest get an AVX2 clone besides (vector_clones.h).
#include "capture/media/yuv_kernels.h"

#include "capture/media/vector_clones.h"
#include "capture/media/yuv_matrix.h"
#include "capture/media/yuv_weights.h"

namespace lumatap::media::yuv {
namespace {

// Resamples a row of 8.7 BGRA pixels across: pixel x from `taps` pixels from in[first[x]] on,
// weighed in 14-bit fixed point. The result is 8.7 again, rounded to nearest. A fixed number
// of taps lets the compiler unroll them and keep the four channels in one register.
template <std::size_t fixedTaps>
void resampleFixed(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                   const std::int16_t* weights, std::size_t variableTaps, std::size_t n) {
    const std::size_t taps = fixedTaps ? fixedTaps : variableTaps;
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint16_t* p = in + 4 * static_cast<std::size_t>(first[x]);
        const std::int16_t* w = weights + x * taps;
        std::int32_t sum[4] = {1 << (columnBits - 1), 1 << (columnBits - 1), 1 << (columnBits - 1),
                               1 << (columnBits - 1)};
        for (std::size_t k = 0; k < taps; ++k) {
            for (std::size_t c = 0; c < 4; ++c) {
                sum[c] += w[k] * p[4 * k + c];
            }
        }
        for (std::size_t c = 0; c < 4; ++c) {
            out[4 * x + c] = static_cast<std::uint16_t>(sum[c] >> columnBits);
        }
    }
}

} // namespace

LUMATAP_VECTOR_CLONES
void lumaRow(const std::uint8_t* bgra, std::uint8_t* luma, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* p = bgra + 4 * x;
        std::int32_t sum = matrix.yB * p[0] + matrix.yG * p[1] + matrix.yR * p[2] + lumaBias;
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
            (matrix.cbB * blue + matrix.cbG * green + matrix.cbR * red + chromaBias) >> (bits + 2));
        chroma[2 * i + 1] = static_cast<std::uint8_t>(
            (matrix.crB * blue + matrix.crG * green + matrix.crR * red + chromaBias) >> (bits + 2));
    }
}

// The last block of an odd-width row: its one column counted twice.
void chromaEdge(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* chroma) {
    std::int32_t blue = 2 * (a[0] + b[0]);
    std::int32_t green = 2 * (a[1] + b[1]);
    std::int32_t red = 2 * (a[2] + b[2]);
    chroma[0] = static_cast<std::uint8_t>(
        (matrix.cbB * blue + matrix.cbG * green + matrix.cbR * red + chromaBias) >> (bits + 2));
    chroma[1] = static_cast<std::uint8_t>(
        (matrix.crB * blue + matrix.crG * green + matrix.crR * red + chromaBias) >> (bits + 2));
}

// Adds one source row, weighed, to a row of 8.7 fixed-point sums. The weights of a row's
// source rows add up to 65535, so the sums stay within 15 bits (signed 16-bit lanes for the
// pass across) and the multiplication is a high half, which vectorises to 16 lanes.
LUMATAP_VECTOR_CLONES
void weighRow(std::uint16_t* sums, const std::uint8_t* row, std::uint16_t weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] = static_cast<std::uint16_t>((std::uint32_t{row[i]} << 7) * weight >> 16);
    }
}

// weighRow of two rows at once, the commonest case, without a second pass over the sums.
LUMATAP_VECTOR_CLONES
void weighTwoRows(std::uint16_t* sums, const std::uint8_t* first, std::uint16_t firstWeight,
                  const std::uint8_t* second, std::uint16_t secondWeight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] =
            static_cast<std::uint16_t>(((std::uint32_t{first[i]} << 7) * firstWeight >> 16) +
                                       ((std::uint32_t{second[i]} << 7) * secondWeight >> 16));
    }
}

// Two rows that weigh the same (shrinking to half), exactly and in half the work.
LUMATAP_VECTOR_CLONES
void meanOfTwoRows(std::uint16_t* sums, const std::uint8_t* first, const std::uint8_t* second,
                   std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] = static_cast<std::uint16_t>((first[i] + second[i]) << 6);
    }
}

LUMATAP_VECTOR_CLONES
void addRow(std::uint16_t* sums, const std::uint8_t* row, std::uint16_t weight, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] =
            static_cast<std::uint16_t>(sums[i] + ((std::uint32_t{row[i]} << 7) * weight >> 16));
    }
}

void resampleRow(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                 const std::int16_t* weights, std::size_t taps, std::size_t n) {
    switch (taps) {
    case 2:
        return resampleFixed<2>(out, in, first, weights, taps, n);
    case 4:
        return resampleFixed<4>(out, in, first, weights, taps, n);
    default:
        return resampleFixed<0>(out, in, first, weights, taps, n);
    }
}

void scaledLuma(const std::uint16_t* bgra, std::uint8_t* luma, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        std::int32_t sum = matrix15.yB * bgra[4 * x] + matrix15.yG * bgra[4 * x + 1] +
                           matrix15.yR * bgra[4 * x + 2] + scaledLumaBias;
        luma[x] = static_cast<std::uint8_t>(sum >> scaledBits);
    }
}

// Cb/Cr of `pairs` 2x2 blocks.
void scaledChroma(const std::uint16_t* top, const std::uint16_t* bottom, std::uint8_t* chroma,
                  std::size_t pairs) {
    for (std::size_t i = 0; i < pairs; ++i) {
        std::int32_t mean[8];
        for (std::size_t c = 0; c < 8; ++c) {
            mean[c] = (top[8 * i + c] + bottom[8 * i + c]) >> 1;
        }
        std::int32_t blue = mean[0] + mean[4];
        std::int32_t green = mean[1] + mean[5];
        std::int32_t red = mean[2] + mean[6];
        chroma[2 * i] = static_cast<std::uint8_t>(
            (matrix15.cbB * blue + matrix15.cbG * green + matrix15.cbR * red + scaledChromaBias) >>
            (scaledBits + 1));
        chroma[2 * i + 1] = static_cast<std::uint8_t>(
            (matrix15.crB * blue + matrix15.crG * green + matrix15.crR * red + scaledChromaBias) >>
            (scaledBits + 1));
    }
}

} // namespace lumatap::media::yuv
