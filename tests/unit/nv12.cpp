// The NV12 frame the host cuts the stream by: exact size, rows bounded by the source, the fill
// values, and recycled blocks that must never leak bytes of an older frame.
#include "video/nv12.h"

#include <gtest/gtest.h>

namespace lumatap {
namespace {

struct Source {
    Bytes luma;
    Bytes chroma;
    PixelBuffer buffer;
};

// Sample values that are neither 0 nor 128, so a copied byte never passes for a filled one.
std::uint8_t lumaAt(std::size_t r, std::size_t c) {
    return 1 + (r * 31 + c) % 97;
}
std::uint8_t chromaAt(std::size_t r, std::size_t c) {
    return 150 + (r * 13 + c) % 90;
}

struct Layout {
    const char* name;
    std::int64_t width;
    std::int64_t height;
    std::size_t lumaBytesPerRow;
    std::size_t lumaRows;
    std::size_t chromaBytesPerRow;
    std::size_t chromaRows;
    bool hasLuma = true;
    bool hasChroma = true;
};

std::unique_ptr<Source> makeSource(const Layout& l) {
    auto s = std::make_unique<Source>();
    s->luma.resize(l.lumaBytesPerRow * l.lumaRows);
    for (std::size_t r = 0; r < l.lumaRows; ++r) {
        for (std::size_t c = 0; c < l.lumaBytesPerRow; ++c) {
            s->luma[r * l.lumaBytesPerRow + c] = lumaAt(r, c);
        }
    }
    // At least one byte, so that an empty plane still has an address.
    s->chroma.resize(std::max<std::size_t>(1, l.chromaBytesPerRow * l.chromaRows));
    for (std::size_t r = 0; r < l.chromaRows; ++r) {
        for (std::size_t c = 0; c < l.chromaBytesPerRow; ++c) {
            s->chroma[r * l.chromaBytesPerRow + c] = chromaAt(r, c);
        }
    }
    s->buffer.planes = {
        {l.hasLuma ? s->luma.data() : nullptr, l.lumaBytesPerRow, l.lumaRows},
        {l.hasChroma ? s->chroma.data() : nullptr, l.chromaBytesPerRow, l.chromaRows}};
    return s;
}

// The frame as the host expects it, built the plain way: zeros, then copies, then the fill.
Bytes expected(const Layout& l) {
    auto w = static_cast<std::size_t>(l.width);
    auto h = static_cast<std::size_t>(l.height);
    Bytes frame(w * h * 3 / 2, 0);
    if (!l.hasLuma) {
        return frame;
    }
    for (std::size_t r = 0; r < std::min(l.lumaRows, h); ++r) {
        for (std::size_t c = 0; c < std::min(l.lumaBytesPerRow, w); ++c) {
            frame[r * w + c] = lumaAt(r, c);
        }
    }
    if (!l.hasChroma) {
        return frame;
    }
    for (std::size_t r = 0; r < h / 2; ++r) {
        for (std::size_t c = 0; c < w; ++c) {
            std::uint8_t& byte = frame[w * h + r * w + c];
            if (r >= l.chromaRows) {
                byte = 128;
            } else if (c < l.chromaBytesPerRow) {
                byte = chromaAt(r, c);
            }
        }
    }
    return frame;
}

void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.name;
}

class NV12Layouts : public testing::TestWithParam<Layout> {};

// Catches frames that carry bytes they should not: stale content of a recycled block, padding
// of the source rows, rows below the requested height, or the wrong fill.
TEST_P(NV12Layouts, PacksEveryByteWhateverTheBlockHeldBefore) {
    const Layout& l = GetParam();
    auto source = makeSource(l);
    Bytes block(static_cast<std::size_t>(l.width * l.height * 3 / 2), 0xEE);
    copyNV12(source->buffer, l.width, l.height, block.data());
    EXPECT_EQ(block, expected(l));
}

INSTANTIATE_TEST_SUITE_P(Frames, NV12Layouts,
                         testing::Values(Layout{"OnePixel", 1, 1, 1, 1, 2, 1},
                                         Layout{"TwoByTwo", 2, 2, 2, 2, 2, 1},
                                         Layout{"OddHeightHasTail", 4, 3, 4, 3, 4, 2},
                                         Layout{"OddWidthDropsLastCr", 3, 3, 4, 3, 4, 2},
                                         Layout{"PaddedRows", 40, 10, 64, 10, 64, 5},
                                         Layout{"NarrowRowsLeaveZeros", 40, 10, 24, 10, 24, 5},
                                         Layout{"ShortChromaFilled", 16, 8, 16, 8, 16, 2},
                                         Layout{"ShortLumaZero", 16, 8, 16, 5, 16, 4},
                                         Layout{"TallerSourceCut", 16, 4, 16, 9, 16, 5},
                                         Layout{"NoChromaPlane", 8, 6, 8, 6, 8, 3, true, false},
                                         Layout{"NoLumaPlane", 8, 6, 8, 6, 8, 3, false, true},
                                         Layout{"EmptyChromaPlane", 8, 6, 8, 6, 8, 0},
                                         Layout{"FullHD", 1920, 1080, 2048, 1080, 2048, 540}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Sized {
    std::int64_t width;
    std::int64_t height;
    std::optional<std::size_t> size;
};

void PrintTo(const Sized& s, std::ostream* os) {
    *os << s.width << "x" << s.height;
}

class FrameSizes : public testing::TestWithParam<Sized> {};

// Catches overflowing size arithmetic that would make a frame too small for what is copied.
TEST_P(FrameSizes, CountsOrRefuses) {
    EXPECT_EQ(frameSize(GetParam().width, GetParam().height), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameSizes,
                         testing::Values(Sized{1, 1, 1}, Sized{3, 3, 13}, Sized{4, 3, 18},
                                         Sized{1920, 1080, 3110400}, Sized{1, 2, 3},
                                         Sized{3037000499, 3037000499, std::nullopt},
                                         Sized{INT64_MAX, 1, std::nullopt},
                                         Sized{INT64_MAX / 3 + 1, 1, std::nullopt},
                                         Sized{0, 5, std::nullopt}));

// Catches a size that fits the arithmetic but no memory, which would crash the first intake.
TEST(FrameSizes, RefusesWhatCannotBeHeld) {
    EXPECT_FALSE(frameSize(1'000'000'000, 1'000'000));
}

// Catches per-frame allocation coming back (fresh pages faulted in for every picture) and
// blocks outliving their pool unsafely.
TEST(FramePool, ReusesBlocksTheLastHolderReleased) {
    auto pool = std::make_shared<FramePool>(4096, 3);
    auto first = pool->take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 4096u);
    const std::uint8_t* where = first->data();
    first.reset();
    auto again = pool->take();
    EXPECT_EQ(again->data(), where);
    auto other = pool->take();
    EXPECT_NE(other->data(), where);
    pool.reset();
    again.reset(); // the pool is gone: the block is simply freed
}

} // namespace
} // namespace lumatap
