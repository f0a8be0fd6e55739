// The inner loops of BGRA to NV12, plain and scaled, in the sets that NV12Scaler chooses from
// at run time: plain C++ (yuv_kernels.cpp), whose loops the compiler vectorises and clones for
// AVX2 and AVX-512 (vector_clones.h); SSE2 (yuv_kernels_sse2.cpp), which every x86-64 processor
// has; AVX2 (yuv_kernels_avx2.cpp) and AVX-512 (yuv_kernels_avx512.cpp), for processors that
// have them. Every set gives the bytes of the plain C++ one; the tests compare them.
//
// Scaling works on rows of "8.7" pixels: BGRA with 16-bit channels, 8 bits of integer and 7 of
// fraction.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMATAP_SSE2 1
#define LUMATAP_AVX2 1
#define LUMATAP_AVX512 1
#endif

namespace lumatap::media::yuv {

// Plain C++.

// Luma of `width` BGRA pixels.
void lumaRow(const std::uint8_t* bgra, std::uint8_t* luma, std::size_t width);
// Cb/Cr of `pairs` whole 2x2 blocks of the rows `top` and `bottom`.
void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma,
               std::size_t pairs);
// The last block of an odd-width row: its one column counted twice.
void chromaEdge(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* chroma);

// Sets a row of 8.7 sums to one source row of `n` bytes, weighed by `weight` of 65535.
void weighRow(std::uint16_t* sums, const std::uint8_t* row, std::uint16_t weight, std::size_t n);
// weighRow of two rows at once.
void weighTwoRows(std::uint16_t* sums, const std::uint8_t* first, std::uint16_t firstWeight,
                  const std::uint8_t* second, std::uint16_t secondWeight, std::size_t n);
// The mean of two rows that weigh the same.
void meanOfTwoRows(std::uint16_t* sums, const std::uint8_t* first, const std::uint8_t* second,
                   std::size_t n);
// Adds one more source row, weighed, to the sums.
void addRow(std::uint16_t* sums, const std::uint8_t* row, std::uint16_t weight, std::size_t n);

// Resamples a row of 8.7 BGRA pixels across: pixel x from `taps` pixels from in[first[x]] on,
// weighed in fixed point of columnBits (yuv_weights.h). The result is 8.7 again, rounded to
// nearest.
void resampleRow(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                 const std::int16_t* weights, std::size_t taps, std::size_t n);

// Luma of `n` 8.7 pixels.
void scaledLuma(const std::uint16_t* bgra, std::uint8_t* luma, std::size_t n);
// Cb/Cr of `pairs` 2x2 blocks of 8.7 pixels.
void scaledChroma(const std::uint16_t* top, const std::uint16_t* bottom, std::uint8_t* chroma,
                  std::size_t pairs);

#ifdef LUMATAP_SSE2
// resampleRow for an even number of taps.
void resampleRowSse2(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                     const std::int16_t* weights, std::size_t taps, std::size_t n);
#endif

#ifdef LUMATAP_AVX2
// resampleRow for two taps.
__attribute__((target("avx2"))) void resampleRow2(std::uint16_t* out, const std::uint16_t* in,
                                                  const std::int32_t* first,
                                                  const std::int16_t* weights, std::size_t n);
// resampleRow2 where each output pixel is the mean of the next two source pixels (shrinking to
// half).
__attribute__((target("avx2"))) void resampleHalf(std::uint16_t* out, const std::uint16_t* in,
                                                  const std::int32_t* first,
                                                  const std::int16_t* weights, std::size_t n);
// resampleRow for four taps.
__attribute__((target("avx2"))) void resampleRow4(std::uint16_t* out, const std::uint16_t* in,
                                                  const std::int32_t* first,
                                                  const std::int16_t* weights, std::size_t n);
__attribute__((target("avx2"))) void scaledLumaAvx2(const std::uint16_t* bgra, std::uint8_t* luma,
                                                    std::size_t n);
__attribute__((target("avx2"))) void scaledChromaAvx2(const std::uint16_t* top,
                                                      const std::uint16_t* bottom,
                                                      std::uint8_t* chroma, std::size_t pairs);
#endif

#ifdef LUMATAP_AVX512
// resampleRow for two taps whose pattern repeats every eight output pixels: pixel x + 8 takes
// the weights of pixel x from the same number of source pixels further on, and the taps of
// any eight pixels lie within 16 source pixels (shrinking by up to 15/8, as 3:2 and 2:1 do).
// `in` holds `readable` pixels.
//
// The permutes and weights of its steps are the same for every row of a part: set up once
// (repeatingColumns) from the part's first columns.
struct RepeatingColumns {
    // Output pixels 0, 2, 4 and 6 in the lanes of the first, 1, 3, 5 and 7 in the second:
    // packing the two lane by lane then leaves all eight in order.
    alignas(64) std::uint16_t index[2][32];
    alignas(64) std::int16_t weight[2][32];
};
// From the first eight of `first` and their weights.
RepeatingColumns repeatingColumns(const std::int32_t* first, const std::int16_t* weights);
__attribute__((target("avx512bw"))) void
resampleRepeating(std::uint16_t* out, const std::uint16_t* in, const std::int32_t* first,
                  const std::int16_t* weights, std::size_t n, std::size_t readable,
                  const RepeatingColumns& columns);
__attribute__((target("avx512bw"))) void scaledLumaAvx512(const std::uint16_t* bgra,
                                                          std::uint8_t* luma, std::size_t n);
__attribute__((target("avx512bw"))) void scaledChromaAvx512(const std::uint16_t* top,
                                                            const std::uint16_t* bottom,
                                                            std::uint8_t* chroma,
                                                            std::size_t pairs);
#endif

} // namespace lumatap::media::yuv
