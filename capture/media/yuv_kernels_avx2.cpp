// The AVX2 kernels of yuv_kernels.h, for processors that have it. Each gives the bytes of its
// plain C++ counterpart, which also does the tails shorter than its vectors.
#include "capture/media/yuv_kernels.h"

#ifdef LUMATAP_AVX2
#include "capture/media/yuv_matrix.h"
#include "capture/media/yuv_weights.h"

#include <immintrin.h>

// Helpers that their callers take in, compiled for AVX2 like them.
#define LUMATAP_AVX2_FUNCTION __attribute__((target("avx2"))) inline

namespace lumatap::media::yuv {
namespace {

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

} // namespace

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

} // namespace lumatap::media::yuv
#endif
