// The pieces of a still image after the read: resizing a 1920 by 1080 screen and encoding the
// result as PNG.
#include "bench/desktop.h"
#include "capture/media/png_encoder.h"
#include "capture/media/scale.h"

#include <benchmark/benchmark.h>

namespace lumatap::bench {
namespace {

void scaleScreen(benchmark::State& state) {
    auto width = static_cast<std::size_t>(state.range(0));
    auto height = static_cast<std::size_t>(state.range(1));
    auto screen = desktop(1920, 1080);
    media::BgraView view{screen.data(), 1920, 1080, 1920 * 4};
    media::Scaler scaler(1920, 1080, width, height);
    std::vector<std::uint8_t> out(width * height * 4);
    for (auto _ : state) {
        scaler.scale(view, out.data(), width * 4);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(scaleScreen)
    ->Args({400, 225})
    ->Args({320, 180})
    ->Args({1280, 720})
    ->Unit(benchmark::kMillisecond);

void encodeThumbnail(benchmark::State& state) {
    auto width = static_cast<std::size_t>(state.range(0));
    auto height = width * 9 / 16;
    auto screen = desktop(1920, 1080);
    Image image = media::scaled({screen.data(), 1920, 1080, 1920 * 4}, width, height);
    std::size_t size = 0;
    for (auto _ : state) {
        auto png = media::encodePNGWithLibpng(image);
        size = png ? png->size() : 0;
        benchmark::DoNotOptimize(size);
    }
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(encodeThumbnail)->Arg(400)->Arg(1920)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lumatap::bench

BENCHMARK_MAIN();
