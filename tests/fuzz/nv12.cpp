// NV12 packing of any source layout: the frame is exactly W*H*3/2 bytes, every byte is written
// whatever the block held, rows and columns the source lacks get their fill, source padding
// and rows below the frame never show, and nothing is read outside the planes (ASan). Frame
// sizes never overflow into a block too small for what is copied.
#include "video/nv12.h"

#include "tests/fuzz/check.h"

#include <algorithm>
#include <fuzzer/FuzzedDataProvider.h>

namespace lumatap {
namespace {

using fuzz::check;

struct Plane {
    std::size_t bytesPerRow = 0;
    std::size_t rows = 0;
    bool present = true;
    // Exactly the plane's bytes on the heap, so that any read past them is caught.
    std::unique_ptr<std::uint8_t[]> bytes;
};

Plane plane(FuzzedDataProvider& input) {
    Plane p;
    p.bytesPerRow = input.ConsumeIntegralInRange<std::size_t>(0, 80);
    p.rows = input.ConsumeIntegralInRange<std::size_t>(0, 80);
    p.present = input.ConsumeIntegralInRange(0, 7) != 0;
    // At least one byte, so that an empty plane still has an address.
    const std::size_t size = std::max<std::size_t>(1, p.bytesPerRow * p.rows);
    p.bytes = std::make_unique<std::uint8_t[]>(size);
    for (std::size_t k = 0; k < size; ++k) {
        p.bytes[k] = input.ConsumeIntegral<std::uint8_t>();
    }
    return p;
}

std::uint8_t at(const Plane& p, std::size_t r, std::size_t c) {
    return p.bytes[r * p.bytesPerRow + c];
}

// The frame the plain way: zeros, then the copied samples, then the chroma fill.
Bytes expected(const std::vector<Plane>& planes, std::size_t w, std::size_t h) {
    Bytes frame(w * h * 3 / 2, 0);
    if (planes.empty() || !planes[0].present) {
        return frame;
    }
    const Plane& luma = planes[0];
    for (std::size_t r = 0; r < std::min(luma.rows, h); ++r) {
        for (std::size_t c = 0; c < std::min(luma.bytesPerRow, w); ++c) {
            frame[r * w + c] = at(luma, r, c);
        }
    }
    if (planes.size() < 2 || !planes[1].present) {
        return frame;
    }
    const Plane& chroma = planes[1];
    for (std::size_t r = 0; r < h / 2; ++r) {
        for (std::size_t c = 0; c < w; ++c) {
            std::uint8_t& byte = frame[w * h + r * w + c];
            if (r >= chroma.rows) {
                byte = 128;
            } else if (c < chroma.bytesPerRow) {
                byte = at(chroma, r, c);
            }
        }
    }
    return frame;
}

void packs(FuzzedDataProvider& input) {
    const auto width = input.ConsumeIntegralInRange<std::int64_t>(1, 64);
    const auto height = input.ConsumeIntegralInRange<std::int64_t>(1, 64);
    const std::size_t planeCount = input.ConsumeIntegralInRange(0, 3);
    const std::uint8_t stale = input.ConsumeIntegral<std::uint8_t>();
    std::vector<Plane> planes;
    PixelBuffer source;
    for (std::size_t k = 0; k < planeCount; ++k) {
        planes.push_back(plane(input));
        const Plane& p = planes.back();
        source.planes.push_back({p.present ? p.bytes.get() : nullptr, p.bytesPerRow, p.rows});
    }
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const auto size = frameSize(width, height);
    check(size && *size == w * h * 3 / 2, "the frame size is W*H*3/2");

    // Exactly the frame on the heap, so that a write past it is caught.
    auto block = std::make_unique<std::uint8_t[]>(*size);
    std::fill_n(block.get(), *size, stale);
    copyNV12(source, width, height, block.get());
    const Bytes want = expected(planes, w, h);
    check(std::equal(want.begin(), want.end(), block.get()),
          "every byte is the source's or its fill, whatever the block held");
}

void sizes(FuzzedDataProvider& input) {
    const auto width = input.ConsumeIntegral<std::int64_t>();
    const auto height = input.ConsumeIntegral<std::int64_t>();
    const auto size = frameSize(width, height);
    if (!size) {
        return;
    }
    check(width >= 1 && height >= 1, "a frame has pixels");
    std::int64_t pixels = 0;
    std::int64_t times3 = 0;
    check(!__builtin_mul_overflow(width, height, &pixels) &&
              !__builtin_mul_overflow(pixels, std::int64_t{3}, &times3) &&
              *size == static_cast<std::size_t>(times3 / 2),
          "a frame size is W*H*3/2 without overflow");
}

} // namespace
} // namespace lumatap

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
        lumatap::sizes(input);
    } else {
        lumatap::packs(input);
    }
    return 0;
}
