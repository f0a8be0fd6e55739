// The AVX-512 kernels of yuv_kernels.h, for processors that have its byte and word
// instructions. Each gives the bytes of its plain C++ counterpart.
#include "capture/media/yuv_kernels.h"

#ifdef LUMATAP_AVX512
#include "capture/media/yuv_weights.h"

// GCC 12's own AVX-512 header leaves a variable unset in its shift intrinsics, and warns
// about it wherever they are used.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace lumatap::media::yuv {

// Eight output pixels a step: their taps all lie within 16 source pixels from the first one's,
// two vectors that one two-table permute per four pixels sorts into pairs of taps per channel
// for pmaddwd. As the pattern repeats, the permutes and the weights are the same every step and
// are set up once; only the step's first pixel is looked up. What is left at the end of the row,
// where 16 pixels would read past it, goes the AVX2 way.
__attribute__((target("avx512bw"))) void
resampleRepeating(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                  const std::int16_t* weights, std::size_t n, std::size_t readable) {
    std::size_t x = 0;
    if (n >= 8) {
        // Output pixels 0, 2, 4 and 6 in the lanes of one vector, 1, 3, 5 and 7 in the other:
        // packing the two lane by lane then leaves all eight in order.
        alignas(64) std::uint16_t index[2][32];
        alignas(64) std::int16_t weight[2][32];
        for (std::size_t j = 0; j < 8; ++j) {
            const auto from = static_cast<std::uint16_t>(first[j] - first[0]);
            for (std::size_t c = 0; c < 4; ++c) {
                for (std::size_t t = 0; t < 2; ++t) {
                    index[j % 2][8 * (j / 2) + 2 * c + t] =
                        static_cast<std::uint16_t>(4 * (from + t) + c);
                    weight[j % 2][8 * (j / 2) + 2 * c + t] = weights[2 * j + t];
                }
            }
        }
        const __m512i evens = _mm512_load_si512(index[0]);
        const __m512i odds = _mm512_load_si512(index[1]);
        const __m512i evenWeights = _mm512_load_si512(weight[0]);
        const __m512i oddWeights = _mm512_load_si512(weight[1]);
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

} // namespace lumatap::media::yuv
#endif
