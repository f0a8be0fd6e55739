// BGRA to NV12 (BT.709, video range) of a 1280x720 picture: our fixed-point converter against
// libswscale set up for the same matrix and range, where libswscale is there.
#include "capture/media/yuv.h"

#include "bench/desktop.h"

#include <benchmark/benchmark.h>

#ifdef LUMATAP_HAVE_SWSCALE
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#endif

namespace lumatap::bench {
namespace {

constexpr int width = 1280;
constexpr int height = 720;

void ownConverter(benchmark::State& state) {
    auto picture = desktop(width, height);
    std::vector<std::uint8_t> nv12(width * height * 3 / 2);
    media::NV12Target target{nv12.data(), width, nv12.data() + width * height, width};
    for (auto _ : state) {
        media::convertToNV12({picture.data(), width, height, width * 4}, target);
        benchmark::DoNotOptimize(nv12.data());
    }
}
BENCHMARK(ownConverter)->Unit(benchmark::kMicrosecond);

// Scaled and converted in one pass, as a stream does when the screen is larger than the frame.
void fusedPass(benchmark::State& state) {
    auto sw = static_cast<std::size_t>(state.range(0));
    auto sh = static_cast<std::size_t>(state.range(1));
    auto w = static_cast<std::size_t>(state.range(2));
    auto h = static_cast<std::size_t>(state.range(3));
    auto picture = desktop(sw, sh);
    std::vector<std::uint8_t> nv12(w * h * 3 / 2);
    media::NV12Target target{nv12.data(), w, nv12.data() + w * h, w};
    const media::NV12Scaler::Kernels kernels[] = {media::NV12Scaler::Kernels::best,
                                                  media::NV12Scaler::Kernels::sse2,
                                                  media::NV12Scaler::Kernels::portable};
    media::NV12Scaler scaler(sw, sh, w, h, kernels[state.range(4)]);
    media::NV12Scaler::Scratch scratch;
    for (auto _ : state) {
        scaler.convert({picture.data(), sw, sh, sw * 4}, 0, 0, {0, 0, w, h}, target, scratch);
        benchmark::DoNotOptimize(nv12.data());
    }
}
// The last argument: 0 the best kernels, 1 SSE2 at most, 2 plain C++. 1366 wide takes three
// taps a pixel.
BENCHMARK(fusedPass)
    ->Args({1920, 1080, 1280, 720, 0})
    ->Args({1920, 1080, 1280, 720, 1})
    ->Args({1920, 1080, 1280, 720, 2})
    ->Args({1920, 1080, 1366, 768, 0})
    ->Args({3840, 2160, 1920, 1080, 0})
    ->Args({3840, 2160, 1920, 1080, 1})
    ->Args({3840, 2160, 1920, 1080, 2})
    ->Unit(benchmark::kMicrosecond);

#ifdef LUMATAP_HAVE_SWSCALE
void libswscale(benchmark::State& state) {
    auto picture = desktop(width, height);
    std::vector<std::uint8_t> nv12(width * height * 3 / 2);
    SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height,
                                         AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    // Full-range RGB in, video-range YCbCr out.
    sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const std::uint8_t* in[] = {picture.data()};
    int inStride[] = {width * 4};
    std::uint8_t* out[] = {nv12.data(), nv12.data() + width * height};
    int outStride[] = {width, width};
    for (auto _ : state) {
        sws_scale(context, in, inStride, 0, height, out, outStride);
        benchmark::DoNotOptimize(nv12.data());
    }
    sws_freeContext(context);
}
BENCHMARK(libswscale)->Unit(benchmark::kMicrosecond);
#endif

} // namespace
} // namespace lumatap::bench

BENCHMARK_MAIN();
