// The mixer of the sound backend: sources add up, nothing queued is lost to jitter or to a
// source that ends, and a source that runs ahead cannot make the latency grow.
#include "capture/media/mixer.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace lumatap::media {
namespace {

// Mono keeps the numbers readable; prefill 4 frames, at most 10 queued.
Mixer mono() {
    return Mixer(1, 4, 10);
}

std::vector<float> mixOf(Mixer& mixer, std::size_t frames) {
    std::vector<float> out(frames, -99.0f);
    mixer.mix(out.data(), frames);
    return out;
}

void push(Mixer& mixer, std::uint32_t source, std::vector<float> data) {
    mixer.push(source, data.data(), data.size());
}

using Frames = std::vector<float>;

// Catches sources that overwrite instead of adding, or a mix left unwritten.
TEST(Mixer, AddsSourcesUpAndIsSilentWithoutThem) {
    Mixer mixer = mono();
    EXPECT_EQ(mixOf(mixer, 3), (Frames{0, 0, 0}));
    mixer.add(1);
    mixer.add(2);
    push(mixer, 1, {1, 2, 3, 4});
    push(mixer, 2, {10, 20, 30, 40});
    EXPECT_EQ(mixOf(mixer, 4), (Frames{11, 22, 33, 44}));
}

// Catches a source that plays before its prefill (holes at every delivery) or that loses
// what it queued while it waited.
TEST(Mixer, WaitsForThePrefillThenPlaysFromTheStart) {
    Mixer mixer = mono();
    mixer.add(1);
    push(mixer, 1, {1, 2, 3});
    EXPECT_EQ(mixOf(mixer, 2), (Frames{0, 0}));
    push(mixer, 1, {4});
    EXPECT_EQ(mixOf(mixer, 2), (Frames{1, 2}));
    EXPECT_EQ(mixOf(mixer, 3), (Frames{3, 4, 0}));
    // Ran dry: it waits for a whole prefill again.
    push(mixer, 1, {5, 6});
    EXPECT_EQ(mixOf(mixer, 2), (Frames{0, 0}));
    push(mixer, 1, {7, 8});
    EXPECT_EQ(mixOf(mixer, 4), (Frames{5, 6, 7, 8}));
}

// Catches the loss of the last bit of a sound that ends, and a source that never leaves.
TEST(Mixer, AnEndedSourcePlaysOutThenLeaves) {
    Mixer mixer = mono();
    mixer.add(1);
    push(mixer, 1, {1, 2});
    mixer.finish(1);
    EXPECT_EQ(mixer.size(), 1u);
    EXPECT_EQ(mixOf(mixer, 3), (Frames{1, 2, 0}));
    EXPECT_EQ(mixer.size(), 0u);
    mixer.add(2);
    mixer.finish(2);
    EXPECT_EQ(mixer.size(), 0u);
}

// Catches a latency that grows without bound when a source delivers faster than we mix.
TEST(Mixer, CutsARunawaySourceBackToThePrefill) {
    Mixer mixer = mono();
    mixer.add(1);
    push(mixer, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(mixer.queued(1), 10u);
    push(mixer, 1, {11});
    EXPECT_EQ(mixer.queued(1), 4u);
    EXPECT_EQ(mixOf(mixer, 4), (Frames{8, 9, 10, 11}));
}

// Catches a mix that waits on a source that is not playing yet or has ended, or that does
// not wait for the one that plays and runs short (a late delivery would become a hole).
TEST(Mixer, ReadyIsWhatTheShortestPlayingSourceHolds) {
    Mixer mixer = mono();
    EXPECT_EQ(mixer.ready(), SIZE_MAX);
    mixer.add(1);
    mixer.add(2);
    push(mixer, 1, {1, 2, 3});
    EXPECT_EQ(mixer.ready(), SIZE_MAX) << "not playing before its prefill";
    push(mixer, 1, {4, 5, 6});
    push(mixer, 2, {1, 1, 1, 1, 1});
    mixOf(mixer, 2);
    EXPECT_EQ(mixer.ready(), 3u);
    mixer.finish(2);
    EXPECT_EQ(mixer.ready(), 4u);
}

// Catches holes that shift the sound in time instead of standing in as silence, and pushes
// for sources that are not there.
TEST(Mixer, HolesAreSilenceAndStrangersAreIgnored) {
    Mixer mixer(2, 2, 10);
    mixer.add(1);
    mixer.push(1, nullptr, 1);
    float frame[] = {0.5f, -0.5f};
    mixer.push(1, frame, 1);
    mixer.push(7, frame, 1);
    EXPECT_EQ(mixer.queued(7), 0u);
    std::vector<float> out(4);
    mixer.mix(out.data(), 2);
    EXPECT_EQ(out, (Frames{0, 0, 0.5f, -0.5f}));
}

} // namespace
} // namespace lumatap::media
