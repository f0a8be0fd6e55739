// Laying a picture out in a stream's frame, and drawing the pointer over it.
#include "capture/media/compose.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace lumatap::media {
namespace {

struct Fit {
    const char* name;
    std::size_t sourceWidth;
    std::size_t sourceHeight;
    std::size_t width;
    std::size_t height;
    bool keepAspect;
    Placement want;
};

void PrintTo(const Fit& f, std::ostream* os) {
    *os << f.name;
}

class Placements : public testing::TestWithParam<Fit> {};

// Catches a stretched or off-centre picture, one that spills out of the frame, or a corner on
// an odd row or column (which would blend the picture's chroma into the bars).
TEST_P(Placements, FitCentredOnEvenCorners) {
    const Fit& f = GetParam();
    Placement got = place(f.sourceWidth, f.sourceHeight, f.width, f.height, f.keepAspect);
    EXPECT_EQ(got.x, f.want.x);
    EXPECT_EQ(got.y, f.want.y);
    EXPECT_EQ(got.width, f.want.width);
    EXPECT_EQ(got.height, f.want.height);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Placements,
    testing::Values(Fit{"SameShape", 1920, 1080, 1280, 720, true, {0, 0, 1280, 720}},
                    Fit{"Wider", 400, 300, 320, 320, true, {0, 40, 320, 240}},
                    Fit{"Taller", 300, 400, 320, 320, true, {40, 0, 240, 320}},
                    Fit{"OddMargins", 400, 300, 33, 17, true, {4, 0, 23, 17}},
                    Fit{"Enlarged", 16, 9, 1920, 1080, true, {0, 0, 1920, 1080}},
                    Fit{"NeverEmpty", 10000, 1, 64, 48, true, {0, 22, 64, 1}},
                    Fit{"Stretched", 400, 300, 320, 320, false, {0, 0, 320, 320}}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::uint8_t> grey(std::size_t w, std::size_t h, std::uint8_t value) {
    return std::vector<std::uint8_t>(w * h * 4, value);
}

// Catches a pointer blended as if its colours were not premultiplied, or drawn past the
// picture's edges (memory that is not the picture's).
TEST(Pointer, BlendsPremultipliedAndClipsToThePicture) {
    auto picture = grey(4, 3, 100);
    // Opaque white, half-transparent black (premultiplied: colour 0), fully transparent.
    std::uint32_t pointer[] = {0xffffffff, 0x80000000, 0x00000000, 0xff0000ff};
    drawPointer(picture.data(), 4, 3, 16, pointer, 2, 2, 3, 2);
    // Only the pointer's top-left pixel lands inside, at (3, 2).
    EXPECT_EQ(picture[(2 * 4 + 3) * 4], 255);
    EXPECT_EQ(picture[(2 * 4 + 3) * 4 + 1], 255);
    EXPECT_EQ(picture[(2 * 4 + 3) * 4 + 2], 255);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        if (i / 4 != 2 * 4 + 3) {
            ASSERT_EQ(picture[i], 100) << "byte " << i;
        }
    }
    picture = grey(4, 3, 100);
    drawPointer(picture.data(), 4, 3, 16, pointer, 2, 2, -1, 0);
    // (0, 0) gets the half-transparent black: 100 * 127 / 255, rounded.
    EXPECT_EQ(picture[0], 50);
    // (0, 1) gets opaque blue over grey: blue 255, green and red gone.
    EXPECT_EQ(picture[16], 255);
    EXPECT_EQ(picture[17], 0);
    EXPECT_EQ(picture[18], 0);
    // The transparent pixel left (1, 0) alone.
    EXPECT_EQ(picture[4], 100);
}

// A source picture that a test changes in random places.
struct Source {
    std::size_t width;
    std::size_t height;
    std::vector<std::uint8_t> bgra;

    Source(std::size_t w, std::size_t h, std::mt19937& random)
        : width(w), height(h), bgra(w * h * 4) {
        for (auto& byte : bgra) {
            byte = static_cast<std::uint8_t>(random());
        }
    }
    BgraView view() const { return {bgra.data(), width, height, width * 4}; }
    // Paints a random rectangle, at most 1/`share` of the room right of and below its corner,
    // with random pixels, and returns it.
    Area scribble(std::size_t share, std::mt19937& random) {
        std::size_t x = random() % width;
        std::size_t y = random() % height;
        std::size_t w = 1 + random() % std::max<std::size_t>(1, (width - x) / share);
        std::size_t h = 1 + random() % std::max<std::size_t>(1, (height - y) / share);
        for (std::size_t r = y; r < y + h; ++r) {
            for (std::size_t b = x * 4; b < (x + w) * 4; ++b) {
                bgra[r * width * 4 + b] = static_cast<std::uint8_t>(random());
            }
        }
        return {x, y, w, h};
    }
    // Only the pixels of `area`, in a buffer of their own, as a read of that area brings them.
    std::vector<std::uint8_t> cut(const Area& area) const {
        std::vector<std::uint8_t> part(area.width * area.height * 4);
        for (std::size_t r = 0; r < area.height; ++r) {
            std::memcpy(&part[r * area.width * 4], &bgra[((area.y + r) * width + area.x) * 4],
                        area.width * 4);
        }
        return part;
    }
};

// Makes every planned job from only the source pixels it names, and ends the frame.
void run(FrameComposer& composer, const Source& source, const std::vector<Area>& changed) {
    struct Finish {
        FrameComposer& c;
        ~Finish() { c.finish(); }
    } finish{composer};
    for (const auto& job : composer.plan(changed)) {
        ASSERT_LE(job.source.x + job.source.width, source.width);
        ASSERT_LE(job.source.y + job.source.height, source.height);
        auto part = source.cut(job.source);
        composer.update(job,
                        {part.data(), job.source.width, job.source.height, job.source.width * 4},
                        job.source.x, job.source.y);
    }
}

std::vector<std::uint8_t> picture(const FrameComposer& composer) {
    return {composer.luma(), composer.luma() + composer.size()};
}

// The bytes of a picture that are sent: without the padding an odd width leaves in luma rows.
std::vector<std::uint8_t> shown(const std::uint8_t* picture, const FrameComposer& composer) {
    std::vector<std::uint8_t> bytes;
    const std::size_t bytesPerRow = composer.bytesPerRow();
    for (std::size_t y = 0; y < composer.height(); ++y) {
        bytes.insert(bytes.end(), picture + y * bytesPerRow,
                     picture + y * bytesPerRow + composer.width());
    }
    const std::uint8_t* chroma = picture + bytesPerRow * composer.height();
    bytes.insert(bytes.end(), chroma, picture + composer.size());
    return bytes;
}

struct Case {
    std::size_t sourceWidth;
    std::size_t sourceHeight;
    std::size_t width;
    std::size_t height;
    bool keepAspect;
};

// Catches partial updates that leave stale pixels or spoil their neighbours: after every one of
// a random sequence of changes (small, large, at the edges, several at once), the kept picture,
// and every buffer brought up to date from it however far behind, equals a whole conversion of
// the source as it then is, bars included.
TEST(PartialUpdates, EveryFrameEqualsAWholeConversion) {
    std::mt19937 random(21);
    for (Case c :
         {Case{193, 111, 64, 36, true}, Case{64, 36, 64, 36, true}, Case{50, 70, 64, 36, true},
          Case{31, 17, 96, 54, false}, Case{301, 169, 301, 169, false}}) {
        Source source(c.sourceWidth, c.sourceHeight, random);
        FrameComposer kept(c.width, c.height, c.keepAspect);
        kept.setSource(c.sourceWidth, c.sourceHeight);
        run(kept, source, {});
        // Copies as a stream's buffers are: some brought up to date every frame, some seldom.
        std::vector<std::vector<std::uint8_t>> copies(4, std::vector<std::uint8_t>(kept.size()));
        std::vector<std::uint64_t> held(4, 0);
        for (int round = 0; round < 40; ++round) {
            std::vector<Area> changed;
            for (std::size_t n = random() % 4; n > 0; --n) {
                changed.push_back(source.scribble(3, random));
            }
            run(kept, source, changed);
            // Buffers that hold older frames, brought up to date with what changed since.
            for (std::size_t i = 0; i < copies.size(); ++i) {
                if (random() % (i + 1) == 0) {
                    kept.copyTo(copies[i].data(), copies[i].data() + kept.bytesPerRow() * c.height,
                                held[i]);
                    ASSERT_EQ(copies[i], picture(kept)) << "copy " << i << " round " << round;
                }
            }
            FrameComposer fresh(c.width, c.height, c.keepAspect);
            fresh.setSource(c.sourceWidth, c.sourceHeight);
            run(fresh, source, {});
            ASSERT_EQ(picture(kept), picture(fresh))
                << c.sourceWidth << "x" << c.sourceHeight << " round " << round;
        }
    }
}

// Catches frames made straight in a stream's rotating buffers that keep old pixels or garbage
// (bars never painted, a catch-up copy skipped or taken from the wrong picture, a frame left
// part-way spoiling the next): whether a frame remakes everything or a part, and across a new
// source shape, each finished buffer equals a whole conversion of the source as it then is.
TEST(PartialUpdates, FramesMadeInTheirOwnBuffersEqualWholeConversions) {
    std::mt19937 random(34);
    for (Case c : {Case{193, 111, 64, 36, true}, Case{50, 70, 64, 36, true},
                   Case{31, 17, 96, 54, false}, Case{301, 169, 301, 169, false}}) {
        std::vector<Source> sources{Source(c.sourceWidth, c.sourceHeight, random),
                                    Source(c.sourceHeight + 7, c.sourceWidth, random)};
        FrameComposer kept(c.width, c.height, c.keepAspect);
        std::vector<std::vector<std::uint8_t>> buffers(3, std::vector<std::uint8_t>(kept.size()));
        for (auto& buffer : buffers) {
            for (auto& byte : buffer) {
                byte = static_cast<std::uint8_t>(random());
            }
        }
        std::vector<std::uint64_t> held(buffers.size(), 0);
        // Changes of a frame left unfinished are made with the next, as a stream's pending ones.
        std::vector<Area> pending;
        for (int round = 0; round < 60; ++round) {
            Source& source = sources[round < 30 ? 0 : 1];
            kept.setSource(source.width, source.height);
            std::vector<Area> changed = pending;
            if (random() % 3 == 0) {
                changed.push_back({0, 0, source.width, source.height});
                for (auto& byte : source.bgra) {
                    byte = static_cast<std::uint8_t>(random());
                }
            } else if (random() % 2 == 0) {
                changed.push_back(source.scribble(2, random));
            }
            std::size_t i = random() % buffers.size();
            kept.begin(buffers[i].data(), held[i]);
            auto jobs = kept.plan(changed);
            bool unfinished = round % 7 == 3 && !jobs.empty();
            for (const auto& job : jobs) {
                auto part = source.cut(job.source);
                kept.update(
                    job, {part.data(), job.source.width, job.source.height, job.source.width * 4},
                    job.source.x, job.source.y);
                if (unfinished) {
                    break;
                }
            }
            if (unfinished) {
                ASSERT_EQ(held[i], 0u);
                pending = changed;
                continue;
            }
            pending.clear();
            held[i] = kept.finish();
            FrameComposer fresh(c.width, c.height, c.keepAspect);
            fresh.setSource(source.width, source.height);
            run(fresh, source, {});
            ASSERT_EQ(shown(buffers[i].data(), kept), shown(fresh.luma(), fresh))
                << c.sourceWidth << "x" << c.sourceHeight << " round " << round;
            ASSERT_EQ(kept.luma(), buffers[i].data());
        }
    }
}

// Catches a new source size (a resized window) that is taken for a small change: the whole
// picture, bars of the new layout included, is made again.
TEST(PartialUpdates, ANewSourceSizeRemakesTheWholePicture) {
    std::mt19937 random(4);
    Source wide(120, 40, random);
    Source tall(40, 120, random);
    FrameComposer kept(64, 36, true);
    kept.setSource(120, 40);
    run(kept, wide, {});
    kept.setSource(40, 120);
    run(kept, tall, {{0, 0, 1, 1}});
    FrameComposer fresh(64, 36, true);
    fresh.setSource(40, 120);
    run(fresh, tall, {});
    EXPECT_EQ(picture(kept), picture(fresh));
}

// Catches a picture larger than 1080p, made in two halves on two threads, whose halves overlap,
// leave a gap, or split a chroma block: it equals the same picture made in one go.
TEST(PartialUpdates, ALargePictureMadeInHalvesEqualsOneMadeWhole) {
    std::mt19937 random(13);
    Source source(2563, 1443, random);
    FrameComposer kept(2050, 1155, false);
    kept.setSource(2563, 1443);
    run(kept, source, {});
    NV12Scaler scaler(2563, 1443, 2050, 1155);
    NV12Scaler::Scratch scratch;
    std::vector<std::uint8_t> whole(kept.size());
    scaler.convert(source.view(), 0, 0, {0, 0, 2050, 1155},
                   {whole.data(), kept.bytesPerRow(), whole.data() + kept.bytesPerRow() * 1155,
                    kept.bytesPerRow()},
                   scratch);
    EXPECT_TRUE(picture(kept) == whole);
}

// Catches changes that are read whole or one by one: a small change costs a small read, and
// many scattered ones are merged into a bounded number of reads.
TEST(PartialUpdates, SmallChangesAreReadSmallAndFew) {
    FrameComposer kept(1280, 720, true);
    kept.setSource(1920, 1080);
    ASSERT_EQ(kept.plan({}).size(), 1u);
    std::mt19937 random(8);
    Source source(1920, 1080, random);
    run(kept, source, {});
    auto jobs = kept.plan({{1600, 840, 320, 240}});
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_LE(jobs[0].source.width * jobs[0].source.height, 330u * 250u);
    std::vector<Area> scattered;
    for (std::size_t i = 0; i < 50; ++i) {
        scattered.push_back({i * 37 % 1900, i * 53 % 1060, 4, 4});
    }
    EXPECT_LE(kept.plan(scattered).size(), 8u);
}

} // namespace
} // namespace lumatap::media
