// The PCM conversion: which source float lands in which output sample, how floats become
// 16-bit samples, and that short or missing source data is never read past its end.
#include "audio/pcm.h"

#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <ostream>

namespace lumatap {
namespace {

// The samples of a block, read little-endian whatever the host.
std::vector<std::int16_t> samples(const std::vector<std::uint8_t>& block) {
    std::vector<std::int16_t> out;
    for (std::size_t k = 0; k + 1 < block.size(); k += 2) {
        out.push_back(static_cast<std::int16_t>(block[k] | (block[k + 1] << 8)));
    }
    return out;
}

// A float that says which buffer and which position it was read from, and converts to a
// sample that says it too.
float tag(int buffer, std::size_t index) {
    return (static_cast<float>(buffer * 1000 + static_cast<int>(index) + 1) + 0.5f) / 32767.0f;
}

// Buffers on the heap of exactly the size asked for, so that a read past the end is caught
// by the address sanitizer.
struct Sources {
    std::vector<std::unique_ptr<float[]>> storage;
    std::vector<FloatBuffer> buffers;

    void add(int id, std::size_t count) {
        storage.push_back(std::make_unique<float[]>(count));
        for (std::size_t k = 0; k < count; ++k) {
            storage.back()[k] = tag(id, k);
        }
        buffers.push_back({storage.back().get(), count});
    }
};

// Catches a wrong channel choice: a right channel read from the wrong buffer or position,
// extra channels mixed in, mono not doubled.
struct Mapping {
    const char* name;
    std::int64_t channels;
    bool nonInterleaved;
    int buffers;
    // Where frame i's left and right come from: buffer, and float index as a*i + b.
    int leftBuffer;
    std::size_t leftStride;
    std::size_t leftOffset;
    int rightBuffer;
    std::size_t rightStride;
    std::size_t rightOffset;
};

void PrintTo(const Mapping& p, std::ostream* os) {
    *os << p.name;
}

class ChannelMapping : public testing::TestWithParam<Mapping> {};

TEST_P(ChannelMapping, TakesEachSideFromItsSource) {
    const Mapping& m = GetParam();
    const std::int64_t frames = 37; // more than any vector width, with a tail
    Sources sources;
    for (int b = 0; b < m.buffers; ++b) {
        sources.add(b, static_cast<std::size_t>(frames * (m.nonInterleaved ? 1 : m.channels)));
    }
    auto block = copyPCM16(sources.buffers, m.channels, m.nonInterleaved, frames);
    ASSERT_TRUE(block);
    ASSERT_EQ(block->size(), 4u * frames);
    auto out = samples(*block);
    for (std::size_t i = 0; i < static_cast<std::size_t>(frames); ++i) {
        EXPECT_EQ(out[2 * i], pcm16(tag(m.leftBuffer, m.leftStride * i + m.leftOffset)))
            << "left of frame " << i;
        EXPECT_EQ(out[2 * i + 1], pcm16(tag(m.rightBuffer, m.rightStride * i + m.rightOffset)))
            << "right of frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pcm, ChannelMapping,
    testing::Values(Mapping{"InterleavedMono", 1, false, 1, 0, 1, 0, 0, 1, 0},
                    Mapping{"InterleavedStereo", 2, false, 1, 0, 2, 0, 0, 2, 1},
                    Mapping{"InterleavedSixChannels", 6, false, 1, 0, 6, 0, 0, 6, 1},
                    Mapping{"InterleavedStereoIgnoresLaterBuffers", 2, false, 3, 0, 2, 0, 0, 2, 1},
                    Mapping{"PlanarMono", 1, true, 1, 0, 1, 0, 0, 1, 0},
                    Mapping{"PlanarStereo", 2, true, 2, 0, 1, 0, 1, 1, 0},
                    Mapping{"PlanarSixChannels", 6, true, 6, 0, 1, 0, 1, 1, 0},
                    Mapping{"PlanarStereoInOneBuffer", 2, true, 1, 0, 1, 0, 0, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches rounding instead of truncation, a clamp that lets -32768 or NaN through, and a
// scale in double precision.
struct Telling {
    const char* name;
    float x;
    std::int16_t sample;
};

void PrintTo(const Telling& p, std::ostream* os) {
    *os << p.name;
}

class TellingValues : public testing::TestWithParam<Telling> {};

TEST_P(TellingValues, ConvertAsTheTableSays) {
    const Telling& t = GetParam();
    // Stereo interleaved goes through the contiguous loop, mono through the doubling one;
    // both must agree, in the vector body as well as in the tail.
    for (std::int64_t channels : {1, 2}) {
        std::vector<float> data(static_cast<std::size_t>(19 * channels), t.x);
        FloatBuffer buffer{data.data(), data.size()};
        auto block = copyPCM16({&buffer, 1}, channels, false, 19);
        ASSERT_TRUE(block);
        for (std::int16_t s : samples(*block)) {
            ASSERT_EQ(s, t.sample) << channels << " channels";
        }
    }
}

constexpr float inf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Pcm, TellingValues,
    testing::Values(Telling{"Half", 0.5f, 16383}, Telling{"MinusHalf", -0.5f, -16383},
                    Telling{"Quarter", 0.25f, 8191}, Telling{"Tenth", 0.1f, 3276},
                    Telling{"JustBelowOne", 0.99999994f, 32766}, Telling{"One", 1.0f, 32767},
                    Telling{"Two", 2.0f, 32767}, Telling{"PlusInfinity", inf, 32767},
                    Telling{"NaN", std::numeric_limits<float>::quiet_NaN(), 32767},
                    Telling{"MinusOne", -1.0f, -32767}, Telling{"MinusThree", -3.0f, -32767},
                    Telling{"MinusInfinity", -inf, -32767}, Telling{"Zero", 0.0f, 0},
                    Telling{"MinusZero", -0.0f, 0}, Telling{"Tiny", 0.00001f, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a big-endian or swapped sample layout.
TEST(Pcm, WritesLeftThenRightLowByteFirst) {
    float data[] = {0.5f, -0.5f};
    FloatBuffer buffer{data, 2};
    auto block = copyPCM16({&buffer, 1}, 2, false, 1);
    ASSERT_TRUE(block);
    EXPECT_EQ(*block, (std::vector<std::uint8_t>{0xff, 0x3f, 0x01, 0xc0}));
}

// Catches reads past the end of a source that holds fewer floats than the counts say, and
// the use of a null or missing buffer.
struct Short {
    const char* name;
    std::int64_t channels;
    bool nonInterleaved;
    std::vector<std::size_t> counts; // floats per buffer; 0 makes a null buffer
    std::int64_t frames;
};

void PrintTo(const Short& p, std::ostream* os) {
    *os << p.name;
}

class ShortSources : public testing::TestWithParam<Short> {};

TEST_P(ShortSources, AreDroppedUnread) {
    const Short& s = GetParam();
    Sources sources;
    for (std::size_t count : s.counts) {
        if (count == 0) {
            sources.buffers.push_back({nullptr, 64});
        } else {
            sources.add(0, count);
        }
    }
    EXPECT_FALSE(copyPCM16(sources.buffers, s.channels, s.nonInterleaved, s.frames));
}

INSTANTIATE_TEST_SUITE_P(
    Pcm, ShortSources,
    testing::Values(Short{"InterleavedStereoOneFloatShort", 2, false, {15}, 8},
                    Short{"InterleavedSixChannelsOneFrameShort", 6, false, {42}, 8},
                    Short{"InterleavedMonoShort", 1, false, {7}, 8},
                    Short{"PlanarLeftShort", 2, true, {7, 8}, 8},
                    Short{"PlanarRightShort", 2, true, {8, 7}, 8},
                    Short{"PlanarOneShortBuffer", 2, true, {7}, 8},
                    Short{"NoBuffers", 2, false, {}, 8}, Short{"NullData", 2, false, {0}, 8},
                    Short{"NullRightBuffer", 2, true, {8, 0}, 8},
                    Short{"CountsThatOverflow", 4, false, {16}, std::int64_t{1} << 62}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumatap
