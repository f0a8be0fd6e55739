// How fast copyPCM16 turns float sample buffers into PCM blocks, per layout. Items are the
// 16-bit samples written (two per frame); the goal is at least 1 G of them per second.
#include "audio/pcm.h"

#include <benchmark/benchmark.h>
#include <random>

namespace lumatap {
namespace {

void convert(benchmark::State& state, std::int64_t channels, bool nonInterleaved) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    const auto c = static_cast<std::size_t>(channels);
    std::mt19937 random(7);
    // Some values beyond full scale, so that the clamp is taken as well.
    std::uniform_real_distribution<float> value(-1.2f, 1.2f);
    std::vector<std::vector<float>> storage(nonInterleaved ? c : 1);
    for (auto& buffer : storage) {
        buffer.resize(nonInterleaved ? frames : frames * c);
        for (float& x : buffer) {
            x = value(random);
        }
    }
    std::vector<FloatBuffer> sources;
    for (const auto& buffer : storage) {
        sources.push_back({buffer.data(), buffer.size()});
    }
    for (auto _ : state) {
        auto block =
            copyPCM16(sources, channels, nonInterleaved, static_cast<std::int64_t>(frames));
        benchmark::DoNotOptimize(block->data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames * 2));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * 4));
}

// 480 frames is what the sound backend delivers every 10 ms; 48000 is one second.
BENCHMARK_CAPTURE(convert, stereo, 2, false)->Arg(480)->Arg(48000);
BENCHMARK_CAPTURE(convert, mono, 1, false)->Arg(480)->Arg(48000);
BENCHMARK_CAPTURE(convert, planarStereo, 2, true)->Arg(480)->Arg(48000);
BENCHMARK_CAPTURE(convert, sixChannels, 6, false)->Arg(480)->Arg(48000);

} // namespace
} // namespace lumatap

BENCHMARK_MAIN();
