// copyNV12 of a 1920x1080 frame from rows of 2048 bytes, against the floor of copying the
// same rows into a block that already exists. The goal is at most 1.5 times the floor, the
// frame's allocation included.
#include "capture/sim/sim.h"
#include "video/pacer.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace lumatap {
namespace {

constexpr std::size_t width = 1920;
constexpr std::size_t height = 1080;
constexpr std::size_t stride = 2048;

void rowCopyFloor(benchmark::State& state) {
    auto picture = sim::nv12Picture(width, height, 100, 128, stride);
    Bytes block(width * height * 3 / 2);
    for (auto _ : state) {
        std::uint8_t* into = block.data();
        for (std::size_t plane = 0; plane < 2; ++plane) {
            for (std::size_t r = 0; r < picture->heightOfPlane(plane); ++r) {
                std::memcpy(into, picture->baseAddressOfPlane(plane) + r * stride, width);
                into += width;
            }
        }
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}
BENCHMARK(rowCopyFloor)->Unit(benchmark::kMicrosecond);

void copyNV12Frame(benchmark::State& state) {
    auto picture = sim::nv12Picture(width, height, 100, 128, stride);
    Pacer pacer(width, height, 30, 1, std::nullopt);
    for (auto _ : state) {
        auto frame = pacer.copyNV12(*picture);
        benchmark::DoNotOptimize(frame->data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(width * height * 3 / 2));
}
BENCHMARK(copyNV12Frame)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace lumatap

BENCHMARK_MAIN();
