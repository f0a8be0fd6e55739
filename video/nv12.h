// The NV12 frame the host reads: W*H luma bytes, then floor(H/2) rows of W interleaved Cb/Cr
// bytes, then floor(W/2) zero bytes when H is odd. No header, no padding, no timestamp.
#pragma once

#include "capture/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace lumatap {

// The byte count of one W by H frame, or none when it does not fit a signed 64-bit count or
// the system would not give us a block that large.
std::optional<std::size_t> frameSize(std::int64_t width, std::int64_t height);

// Packs `source` into `block`, which must hold frameSize(width, height) bytes of any content:
// every byte is written. Rows are bounded by the source's bytes per row and plane heights;
// luma the source lacks is 0, chroma rows it lacks are 128, the odd-height tail is 0.
void copyNV12(const PixelBuffer& source, std::int64_t width, std::int64_t height,
              std::uint8_t* block);

// Recycles frame blocks: a frame returns here when its last holder lets go, so a stream of
// frames reuses a few blocks instead of faulting in fresh pages for every picture.
class FramePool : public std::enable_shared_from_this<FramePool> {
  public:
    FramePool(std::size_t frameSize, std::size_t keep);

    // A block of frameSize bytes with stale content, or none when memory has run out.
    std::shared_ptr<Bytes> take();
    std::size_t frameSize() const { return size_; }

  private:
    void giveBack(std::unique_ptr<Bytes> block);

    const std::size_t size_;
    const std::size_t keep_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Bytes>> free_;
};

} // namespace lumatap
