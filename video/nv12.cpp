#include "video/nv12.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

namespace lumatap {
namespace {

// Whether the system would map `size` bytes for us now. Asking the kernel directly cannot be
// optimised away, unlike a probe through the allocator, and touches no page.
bool mappable(std::size_t size) {
    void* probe = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) {
        return false;
    }
    munmap(probe, size);
    return true;
}

// Copies up to `rows` rows of `width` bytes; what a source row lacks is 0, rows the source
// lacks are `missing`.
void copyPlane(const std::uint8_t* source, std::size_t bytesPerRow, std::size_t sourceRows,
               std::size_t width, std::size_t rows, std::uint8_t* into, std::uint8_t missing) {
    const std::size_t copied = std::min(sourceRows, rows);
    const std::size_t length = std::min(bytesPerRow, width);
    for (std::size_t r = 0; r < copied; ++r) {
        std::memcpy(into + r * width, source + r * bytesPerRow, length);
        if (length < width) {
            std::memset(into + r * width + length, 0, width - length);
        }
    }
    std::memset(into + copied * width, missing, (rows - copied) * width);
}

} // namespace

std::optional<std::size_t> frameSize(std::int64_t width, std::int64_t height) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    if (width < 1 || height < 1 || width > max / height || width * height > max / 3) {
        return std::nullopt;
    }
    auto size = static_cast<std::size_t>(width * height * 3 / 2);
    if (!mappable(size)) {
        return std::nullopt;
    }
    return size;
}

void copyNV12(const PixelBuffer& source, std::int64_t width, std::int64_t height,
              std::uint8_t* block) {
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const std::size_t lumaSize = w * h;
    const std::size_t size = lumaSize * 3 / 2;
    const std::uint8_t* luma = source.baseAddressOfPlane(0);
    if (!luma) {
        std::memset(block, 0, size);
        return;
    }
    copyPlane(luma, source.bytesPerRowOfPlane(0), source.heightOfPlane(0), w, h, block, 0);
    const std::size_t chromaRows = h / 2;
    const std::uint8_t* chroma = source.baseAddressOfPlane(1);
    if (!chroma) {
        std::memset(block + lumaSize, 0, size - lumaSize);
        return;
    }
    copyPlane(chroma, source.bytesPerRowOfPlane(1), source.heightOfPlane(1), w, chromaRows,
              block + lumaSize, 128);
    const std::size_t tail = lumaSize + chromaRows * w;
    std::memset(block + tail, 0, size - tail);
}

FramePool::FramePool(std::size_t frameSize, std::size_t keep) : size_(frameSize), keep_(keep) {
    // Reserved now so that giving a block back never has to allocate.
    free_.reserve(keep);
}

std::shared_ptr<Bytes> FramePool::take() {
    std::unique_ptr<Bytes> block;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            block = std::move(free_.back());
            free_.pop_back();
        }
    }
    try {
        if (!block) {
            block = std::make_unique<Bytes>(size_);
        }
        // The pool may be gone by the time the last holder lets go; then the block just dies.
        std::weak_ptr<FramePool> pool = weak_from_this();
        return std::shared_ptr<Bytes>(block.release(), [pool](Bytes* returned) {
            std::unique_ptr<Bytes> owned(returned);
            if (auto home = pool.lock()) {
                home->giveBack(std::move(owned));
            }
        });
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void FramePool::giveBack(std::unique_ptr<Bytes> block) {
    std::lock_guard lock(mutex_);
    if (free_.size() < keep_) {
        free_.push_back(std::move(block));
    }
}

} // namespace lumatap
