// The AVX-512 kernels of yuv_kernels.h, for processors that have its byte and word
// instructions. Each gives the bytes of its plain C++ counterpart.
#include "capture/media/yuv_kernels.h"

#ifdef LUMATAP_AVX512
#include "capture/media/yuv_matrix.h"
#include "capture/media/yuv_weights.h"

// GCC 12's own AVX-512 header leaves a variable unset in its shift intrinsics, and warns
// about it wherever they are used.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace lumatap::media::yuv {

RepeatingColumns repeatingColumns(const std::int32_t* first, const std::int16_t* weights) {
    RepeatingColumns columns;
    for (std::size_t j = 0; j < 8; ++j) {
        const auto from = static_cast<std::uint16_t>(first[j] - first[0]);
        for (std::size_t c = 0; c < 4; ++c) {
            for (std::size_t t = 0; t < 2; ++t) {
                columns.index[j % 2][8 * (j / 2) + 2 * c + t] =
                    static_cast<std::uint16_t>(4 * (from + t) + c);
                columns.weight[j % 2][8 * (j / 2) + 2 * c + t] = weights[2 * j + t];
            }
        }
    }
    return columns;
}

// Eight output pixels a step: their taps all lie within 16 source pixels from the first one's,
// two vectors that one two-table permute per four pixels sorts into pairs of taps per channel
// for pmaddwd. As the pattern repeats, the permutes and the weights are the same every step;
// only the step's first pixel is looked up. What is left at the end of the row, where 16
// pixels would read past it, goes the AVX2 way.
__attribute__((target("avx512bw"))) void
resampleRepeating(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                  const std::int16_t* weights, std::size_t n, std::size_t readable,
                  const RepeatingColumns& columns) {
    std::size_t x = 0;
    if (n >= 8) {
        const __m512i evens = _mm512_load_si512(columns.index[0]);
        const __m512i odds = _mm512_load_si512(columns.index[1]);
        const __m512i evenWeights = _mm512_load_si512(columns.weight[0]);
        const __m512i oddWeights = _mm512_load_si512(columns.weight[1]);
        const __m512i half = _mm512_set1_epi32(1 << (columnBits - 1));
        for (; x + 8 <= n && static_cast<std::size_t>(first[x]) + 16 <= readable; x += 8) {
            const std::uint16_t* p = in + 4 * static_cast<std::size_t>(first[x]);
            __m512i low = _mm512_loadu_si512(p);
            __m512i high = _mm512_loadu_si512(p + 32);
            __m512i a = _mm512_madd_epi16(_mm512_permutex2var_epi16(low, evens, high), evenWeights);
            __m512i b = _mm512_madd_epi16(_mm512_permutex2var_epi16(low, odds, high), oddWeights);
            a = _mm512_srai_epi32(_mm512_add_epi32(a, half), columnBits);
            b = _mm512_srai_epi32(_mm512_add_epi32(b, half), columnBits);
            _mm512_storeu_si512(out + 4 * x, _mm512_packus_epi32(a, b));
        }
    }
    resampleRow2(out + 4 * x, in, first + x, weights + 2 * x, n - x);
}

namespace {

// Each pixel's two products of pmaddwd added into the low half of its quadword.
__attribute__((target("avx512bw"))) inline __m512i perPixel(__m512i products) {
    return _mm512_add_epi32(products, _mm512_srli_epi64(products, 32));
}

// The low halves of the quadwords of `a`, then of `b`: 16 sums in order.
__attribute__((target("avx512bw"))) inline __m512i lowHalves(__m512i a, __m512i b) {
    const __m512i index =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    return _mm512_permutex2var_epi32(a, index, b);
}

} // namespace

// Three coefficients for pmaddwd against the B, G, R (and unused A) of each pixel.
__attribute__((target("avx512bw"))) inline __m512i coefficients(std::int16_t b, std::int16_t g,
                                                                std::int16_t r) {
    return _mm512_set1_epi64(
        static_cast<long long>(static_cast<std::uint64_t>(static_cast<std::uint16_t>(b)) |
                               static_cast<std::uint64_t>(static_cast<std::uint16_t>(g)) << 16 |
                               static_cast<std::uint64_t>(static_cast<std::uint16_t>(r)) << 32));
}

// A 2x2 block's sum in the first doubleword of its 128-bit lane, which holds the block's two
// pixels of a row.
__attribute__((target("avx512bw"))) inline __m512i perBlock(__m512i products) {
    __m512i pixels = perPixel(products);
    return _mm512_add_epi32(pixels, _mm512_bsrli_epi128(pixels, 8));
}

// The same as scaledLuma, 16 pixels at a time.
__attribute__((target("avx512bw"))) void scaledLumaAvx512(const std::uint16_t* bgra,
                                                          std::uint8_t* luma, std::size_t n) {
    const __m512i w = coefficients(matrix15.yB, matrix15.yG, matrix15.yR);
    const __m512i bias = _mm512_set1_epi32(scaledLumaBias);
    std::size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        __m512i first = perPixel(_mm512_madd_epi16(_mm512_loadu_si512(bgra + 4 * x), w));
        __m512i second = perPixel(_mm512_madd_epi16(_mm512_loadu_si512(bgra + 4 * x + 32), w));
        __m512i sums =
            _mm512_srai_epi32(_mm512_add_epi32(lowHalves(first, second), bias), scaledBits);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + x), _mm512_cvtusepi32_epi8(sums));
    }
    scaledLuma(bgra + 4 * x, luma + x, n - x);
}

// The same as scaledChroma, 8 blocks at a time.
__attribute__((target("avx512bw"))) void scaledChromaAvx512(const std::uint16_t* top,
                                                            const std::uint16_t* bottom,
                                                            std::uint8_t* chroma,
                                                            std::size_t pairs) {
    const __m512i blue = coefficients(matrix15.cbB, matrix15.cbG, matrix15.cbR);
    const __m512i red = coefficients(matrix15.crB, matrix15.crG, matrix15.crR);
    const __m512i bias = _mm512_set1_epi32(scaledChromaBias);
    // Cb and Cr of a block end up in the first doubleword of its 128-bit lane: the pairs of
    // four blocks, then of the next four, are gathered from those.
    const __m512i pairsOfFour =
        _mm512_setr_epi32(0, 16, 4, 20, 8, 24, 12, 28, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i eight = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    std::size_t i = 0;
    for (; i + 8 <= pairs; i += 8) {
        __m512i halves[2];
        for (std::size_t h = 0; h < 2; ++h) {
            const std::size_t at = 8 * i + 32 * h;
            __m512i mean = _mm512_srli_epi16(
                _mm512_add_epi16(_mm512_loadu_si512(top + at), _mm512_loadu_si512(bottom + at)), 1);
            halves[h] =
                _mm512_permutex2var_epi32(perBlock(_mm512_madd_epi16(mean, blue)), pairsOfFour,
                                          perBlock(_mm512_madd_epi16(mean, red)));
        }
        __m512i sums = _mm512_srai_epi32(
            _mm512_add_epi32(_mm512_permutex2var_epi32(halves[0], eight, halves[1]), bias),
            scaledBits + 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + 2 * i), _mm512_cvtusepi32_epi8(sums));
    }
    scaledChroma(top + 8 * i, bottom + 8 * i, chroma + 2 * i, pairs - i);
}

} // namespace lumatap::media::yuv
#endif
