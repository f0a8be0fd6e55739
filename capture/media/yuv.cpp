#include "capture/media/yuv.h"

#include "capture/media/vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace lumatap::media {
namespace {

// The BT.709 weights of red and blue; green takes the rest.
constexpr double kr = 0.2126;
constexpr double kb = 0.0722;
constexpr double kg = 1 - kr - kb;

// The BT.709 matrix in fixed point of `fraction` bits, scaled to the video range (219 steps of
// luma, 224 of chroma for 255 of each primary).
struct Matrix {
    std::int32_t yR, yG, yB, cbR, cbG, cbB, crR, crG, crB;
};
constexpr std::int32_t fixed(double value, int fraction) {
    return static_cast<std::int32_t>(value * (1 << fraction) + (value < 0 ? -0.5 : 0.5));
}
constexpr double lumaScale = 219.0 / 255;
constexpr double chromaScale = 224.0 / 255;
constexpr Matrix matrixOf(int fraction) {
    Matrix m{};
    m.yR = fixed(kr * lumaScale, fraction);
    m.yG = fixed(kg * lumaScale, fraction);
    m.yB = fixed(kb * lumaScale, fraction);
    m.cbR = fixed(-kr / (2 * (1 - kb)) * chromaScale, fraction);
    m.cbB = fixed(0.5 * chromaScale, fraction);
    // Chroma weights add up to exactly 0, so every grey has Cb and Cr of exactly 128.
    m.cbG = -m.cbR - m.cbB;
    m.crR = fixed(0.5 * chromaScale, fraction);
    m.crB = fixed(-kb / (2 * (1 - kr)) * chromaScale, fraction);
    m.crG = -m.crR - m.crB;
    return m;
}

// 16 bits for converting source pixels.
constexpr int bits = 16;
constexpr Matrix matrix = matrixOf(bits);

constexpr std::int32_t lumaBias = (16 << bits) + (1 << (bits - 1));
// Chroma works on sums of four pixels: two more bits.
constexpr std::int32_t chromaBias = (128 << (bits + 2)) + (1 << (bits + 1));

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

constexpr int columnBits = 14;

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

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMATAP_SSE2 1

// Each channel of two BGRA pixels of 16-bit channels side by side, as pmaddwd takes them.
__m128i channelPairsSse2(const std::uint16_t* p) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_unpacklo_epi16(v, _mm_srli_si128(v, 8));
}

__m128i weightPair(const std::int16_t* w) {
    std::int32_t pair;
    std::memcpy(&pair, w, sizeof pair);
    return _mm_set1_epi32(pair);
}

// The same sums as resampleRow for an even number of taps, with SSE2, which every x86-64
// processor has: two output pixels at a time, two taps each per pmaddwd.
void resampleRowSse2(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                     const std::int16_t* weights, std::size_t taps, std::size_t n) {
    const __m128i half = _mm_set1_epi32(1 << (columnBits - 1));
    std::size_t x = 0;
    for (; x + 2 <= n; x += 2) {
        __m128i a = half;
        __m128i b = half;
        const std::uint16_t* p = in + 4 * first[x];
        const std::uint16_t* q = in + 4 * first[x + 1];
        const std::int16_t* w = weights + x * taps;
        for (std::size_t k = 0; k < taps; k += 2) {
            a = _mm_add_epi32(a, _mm_madd_epi16(channelPairsSse2(p + 4 * k), weightPair(w + k)));
            b = _mm_add_epi32(
                b, _mm_madd_epi16(channelPairsSse2(q + 4 * k), weightPair(w + taps + k)));
        }
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + 4 * x),
            _mm_packs_epi32(_mm_srai_epi32(a, columnBits), _mm_srai_epi32(b, columnBits)));
    }
    resampleRow(out + 4 * x, in, first + x, weights + x * taps, taps, n - x);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMATAP_AVX2 1

#define LUMATAP_AVX2_FUNCTION __attribute__((target("avx2"))) inline

// Within each 128-bit lane, two BGRA pixels of 16-bit channels into pairs of one channel.
LUMATAP_AVX2_FUNCTION __m256i channelPairs(__m256i v) {
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0,
                                           1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    return _mm256_shuffle_epi8(v, order);
}

LUMATAP_AVX2_FUNCTION __m256i roundSums(__m256i sums) {
    return _mm256_srai_epi32(_mm256_add_epi32(sums, _mm256_set1_epi32(1 << (columnBits - 1))),
                             columnBits);
}

LUMATAP_AVX2_FUNCTION __m128i loadTwoTaps(const std::uint16_t* in, std::int32_t first) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * first));
}

// The same sums as resampleRow, four output pixels at a time: each pixel's taps are loaded
// as one run, interleaved into pairs of taps per channel and multiplied by their weights with
// pmaddwd. A tail of fewer than four goes the plain way.
__attribute__((target("avx2"))) void resampleRow2(std::uint16_t* out, const std::uint16_t* in,
                                                  const std::int32_t* first,
                                                  const std::int16_t* weights, std::size_t n) {
    const __m256i evens = _mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2);
    const __m256i odds = _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3);
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        __m256i a = channelPairs(
            _mm256_set_m128i(loadTwoTaps(in, first[x + 2]), loadTwoTaps(in, first[x])));
        __m256i b = channelPairs(
            _mm256_set_m128i(loadTwoTaps(in, first[x + 3]), loadTwoTaps(in, first[x + 1])));
        __m256i w = _mm256_castsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + 2 * x)));
        a = roundSums(_mm256_madd_epi16(a, _mm256_permutevar8x32_epi32(w, evens)));
        b = roundSums(_mm256_madd_epi16(b, _mm256_permutevar8x32_epi32(w, odds)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), _mm256_packus_epi32(a, b));
    }
    resampleRow(out + 4 * x, in, first + x, weights + 2 * x, 2, n - x);
}

// resampleRow2 where each output pixel is the mean of the next two source pixels (shrinking
// to half): the same bytes, without shuffling taps and weights into place.
__attribute__((target("avx2"))) void resampleHalf(std::uint16_t* out, const std::uint16_t* in,
                                                  const std::int32_t* first,
                                                  const std::int16_t* weights, std::size_t n) {
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * x));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * x + 16));
        // Pixels 0, 4 | 2, 6 and 1, 5 | 3, 7 of the eight.
        __m256i mean = _mm256_avg_epu16(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x),
                            _mm256_permute4x64_epi64(mean, 0xD8));
    }
    resampleRow(out + 4 * x, in, first + x, weights + 2 * x, 2, n - x);
}

// Two output pixels of four taps each, the first in the low lane.
LUMATAP_AVX2_FUNCTION __m256i fourTapsOfTwo(const std::uint16_t* in, const std::int32_t* first,
                                            const std::int16_t* weights) {
    __m256i w = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(weights)));
    __m256i a =
        channelPairs(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * first[0])));
    __m256i b =
        channelPairs(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * first[1])));
    a = _mm256_madd_epi16(
        a, _mm256_permutevar8x32_epi32(w, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1)));
    b = _mm256_madd_epi16(
        b, _mm256_permutevar8x32_epi32(w, _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3)));
    return roundSums(_mm256_add_epi32(_mm256_permute2x128_si256(a, b, 0x20),
                                      _mm256_permute2x128_si256(a, b, 0x31)));
}

__attribute__((target("avx2"))) void resampleRow4(std::uint16_t* out, const std::uint16_t* in,
                                                  const std::int32_t* first,
                                                  const std::int16_t* weights, std::size_t n) {
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        __m256i packed = _mm256_packus_epi32(fourTapsOfTwo(in, first + x, weights + 4 * x),
                                             fourTapsOfTwo(in, first + x + 2, weights + 4 * x + 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x),
                            _mm256_permute4x64_epi64(packed, 0xD8));
    }
    resampleRow(out + 4 * x, in, first + x, weights + 4 * x, 4, n - x);
}

bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

// The colour formula on 8.7 pixels with 15-bit coefficients (which pmaddwd takes), so in
// units of 1 << 22. Chroma works on the sum of two pixels of the mean of two rows: one more
// bit.
constexpr int scaledBits = 22;
constexpr Matrix matrix15 = matrixOf(15);
constexpr std::int32_t scaledLumaBias = (16 << scaledBits) + (1 << (scaledBits - 1));
constexpr std::int32_t scaledChromaBias = (128 << (scaledBits + 1)) + (1 << scaledBits);

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

#ifdef LUMATAP_AVX2
// Lane-wise packing leaves 16 bytes in the order of the low quadwords of both lanes
// interleaved by fours: gathers them and puts them back in order.
LUMATAP_AVX2_FUNCTION __m128i inOrder(__m256i packed, __m128i order) {
    return _mm_shuffle_epi8(_mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)), order);
}

// Luma of eight pixels: lane 0 holds pixels 0, 1, 4 and 5.
LUMATAP_AVX2_FUNCTION __m256i eightLumas(const std::uint16_t* p) {
    const __m256i weights = _mm256_setr_epi16(
        matrix15.yB, matrix15.yG, matrix15.yR, 0, matrix15.yB, matrix15.yG, matrix15.yR, 0,
        matrix15.yB, matrix15.yG, matrix15.yR, 0, matrix15.yB, matrix15.yG, matrix15.yR, 0);
    __m256i lo =
        _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), weights);
    __m256i hi =
        _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16)), weights);
    return _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_hadd_epi32(lo, hi), _mm256_set1_epi32(scaledLumaBias)), scaledBits);
}

// The same as scaledLuma, 16 pixels at a time.
__attribute__((target("avx2"))) void scaledLumaAvx2(const std::uint16_t* bgra, std::uint8_t* luma,
                                                    std::size_t n) {
    const __m128i order = _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    std::size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        __m256i words = _mm256_packs_epi32(eightLumas(bgra + 4 * x), eightLumas(bgra + 4 * x + 32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + x),
                         inOrder(_mm256_packus_epi16(words, words), order));
    }
    scaledLuma(bgra + 4 * x, luma + x, n - x);
}

// Each channel of four pixels, the mean of two rows.
LUMATAP_AVX2_FUNCTION __m256i meanOfRows(const std::uint16_t* top, const std::uint16_t* bottom) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom));
    return _mm256_srli_epi16(_mm256_add_epi16(a, b), 1);
}

// Cb and Cr of four blocks: lane 0 holds Cb of blocks 0 and 2, then their Cr; lane 1 blocks 1
// and 3.
LUMATAP_AVX2_FUNCTION __m256i fourBlocks(const std::uint16_t* top, const std::uint16_t* bottom) {
    const __m256i blue = _mm256_setr_epi16(
        matrix15.cbB, matrix15.cbG, matrix15.cbR, 0, matrix15.cbB, matrix15.cbG, matrix15.cbR, 0,
        matrix15.cbB, matrix15.cbG, matrix15.cbR, 0, matrix15.cbB, matrix15.cbG, matrix15.cbR, 0);
    const __m256i red = _mm256_setr_epi16(
        matrix15.crB, matrix15.crG, matrix15.crR, 0, matrix15.crB, matrix15.crG, matrix15.crR, 0,
        matrix15.crB, matrix15.crG, matrix15.crR, 0, matrix15.crB, matrix15.crG, matrix15.crR, 0);
    __m256i first = meanOfRows(top, bottom);
    __m256i second = meanOfRows(top + 16, bottom + 16);
    __m256i cb = _mm256_hadd_epi32(_mm256_madd_epi16(first, blue), _mm256_madd_epi16(second, blue));
    __m256i cr = _mm256_hadd_epi32(_mm256_madd_epi16(first, red), _mm256_madd_epi16(second, red));
    return _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_hadd_epi32(cb, cr), _mm256_set1_epi32(scaledChromaBias)),
        scaledBits + 1);
}

// The same as scaledChroma, 8 blocks at a time.
__attribute__((target("avx2"))) void scaledChromaAvx2(const std::uint16_t* top,
                                                      const std::uint16_t* bottom,
                                                      std::uint8_t* chroma, std::size_t pairs) {
    const __m128i order = _mm_setr_epi8(0, 2, 8, 10, 1, 3, 9, 11, 4, 6, 12, 14, 5, 7, 13, 15);
    std::size_t i = 0;
    for (; i + 8 <= pairs; i += 8) {
        __m256i words = _mm256_packs_epi32(fourBlocks(top + 8 * i, bottom + 8 * i),
                                           fourBlocks(top + 8 * i + 32, bottom + 8 * i + 32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + 2 * i),
                         inOrder(_mm256_packus_epi16(words, words), order));
    }
    scaledChroma(top + 8 * i, bottom + 8 * i, chroma + 2 * i, pairs - i);
}
#endif

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

NV12Scaler::NV12Scaler(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                       std::size_t height, Kernels kernels)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), width_(width), height_(height),
      halving_(sourceWidth == 2 * width) {
#ifdef LUMATAP_SSE2
    if (kernels == Kernels::best && hasAvx2()) {
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
    Axis columns = axis(sourceWidth, width);
    columnTaps_ = columns.taps <= 2 ? 2 : columns.taps <= 4 ? 4 : columns.taps;
    columnFirst_.resize(width);
    columnWeights_.assign(width * columnTaps_, 0);
    for (std::size_t i = 0; i < width; ++i) {
        // The padding taps come after the real ones unless that runs past the source.
        std::size_t first = std::min<std::size_t>(
            columns.first[i], sourceWidth >= columnTaps_ ? sourceWidth - columnTaps_ : 0);
        columnFirst_[i] = static_cast<std::uint32_t>(first);
        std::int16_t* w = columnWeights_.data() + i * columnTaps_ + (columns.first[i] - first);
        // Rounded to add up to exactly 1 << 14, the rounding put on the biggest weight.
        std::int32_t total = 0;
        std::size_t biggest = 0;
        for (std::size_t k = 0; k < columns.taps; ++k) {
            w[k] = static_cast<std::int16_t>(
                std::lround(columns.weights[i * columns.taps + k] * (1 << columnBits)));
            total += w[k];
            if (w[k] > w[biggest]) {
                biggest = k;
            }
        }
        w[biggest] = static_cast<std::int16_t>(w[biggest] + (1 << columnBits) - total);
    }
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
    auto across = [&](std::uint16_t* scaled, const std::uint16_t* sums) {
#ifdef LUMATAP_AVX2
        if (vectors_ == Vectors::avx2 && halving_) {
            return resampleHalf(scaled, sums, scratch.columnFirst.data(), weights, out.width);
        }
        if (vectors_ == Vectors::avx2 && columnTaps_ == 2) {
            return resampleRow2(scaled, sums, scratch.columnFirst.data(), weights, out.width);
        }
        if (vectors_ == Vectors::avx2 && columnTaps_ == 4) {
            return resampleRow4(scaled, sums, scratch.columnFirst.data(), weights, out.width);
        }
#endif
#ifdef LUMATAP_SSE2
        if (vectors_ != Vectors::none && columnTaps_ % 2 == 0) {
            return resampleRowSse2(scaled, sums, scratch.columnFirst.data(), weights, columnTaps_,
                                   out.width);
        }
#endif
        resampleRow(scaled, sums, scratch.columnFirst.data(), weights, columnTaps_, out.width);
    };
    const std::uint8_t* origin = pixels.data + (from.x - pixelsX) * 4;
    auto row = [&](std::size_t y, std::uint16_t* sums, std::uint16_t* scaled) {
        const std::uint16_t* w = rowWeights_.data() + y * rowTaps_;
        const std::uint8_t* source = origin + (rowFirst_[y] - pixelsY) * pixels.bytesPerRow;
        std::size_t k = 1;
        if (rowTaps_ == 2 && std::abs(w[0] - w[1]) <= 1) {
            meanOfTwoRows(sums, source, source + pixels.bytesPerRow, n * 4);
            k = 2;
        } else if (rowTaps_ >= 2 && w[1]) {
            weighTwoRows(sums, source, w[0], source + pixels.bytesPerRow, w[1], n * 4);
            k = 2;
        } else {
            weighRow(sums, source, w[0], n * 4);
        }
        for (; k < rowTaps_; ++k) {
            if (w[k]) {
                addRow(sums, source + k * pixels.bytesPerRow, w[k], n * 4);
            }
        }
        across(scaled, sums);
        if (out.width % 2) {
            std::memcpy(scaled + out.width * 4, scaled + (out.width - 1) * 4, 4 * sizeof *scaled);
        }
    };
    struct {
        void (*luma)(const std::uint16_t*, std::uint8_t*, std::size_t) = scaledLuma;
        void (*chroma)(const std::uint16_t*, const std::uint16_t*, std::uint8_t*,
                       std::size_t) = scaledChroma;
    } colours;
#ifdef LUMATAP_AVX2
    if (vectors_ == Vectors::avx2) {
        colours.luma = scaledLumaAvx2;
        colours.chroma = scaledChromaAvx2;
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

} // namespace lumatap::media
