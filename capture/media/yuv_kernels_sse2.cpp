// The SSE2 kernels of yuv_kernels.h. Every x86-64 processor has SSE2.
#include "capture/media/yuv_kernels.h"

#ifdef LUMATAP_SSE2
#include "capture/media/yuv_weights.h"

#include <cstring>
#include <immintrin.h>

namespace lumatap::media::yuv {
namespace {

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

} // namespace

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

} // namespace lumatap::media::yuv
#endif
