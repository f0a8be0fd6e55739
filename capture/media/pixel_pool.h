// The NV12 buffers a capture stream hands out, and the sample that carries one.
#pragma once

#include "capture/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace lumatap::media {

// NV12 pixel buffers that are handed out and come back when their last holder lets go. When
// every one is out, the consumer is behind and a new frame is dropped rather than queued.
// A buffer's memory is had only when it is first needed: a consumer that keeps up uses one
// or two, and a large frame does not cost the whole queue's depth of memory up front.
class PixelPool : public std::enable_shared_from_this<PixelPool> {
  public:
    struct Slot {
        Bytes memory;
        // The frame the buffer holds, so that only what changed since is copied in.
        std::uint64_t frame = 0;
    };

    PixelPool(std::size_t width, std::size_t height, std::size_t count)
        : width(width), height(height),
          // Rows hold whole chroma pairs and nothing more: the converter needs no alignment,
          // and padding would multiply the memory of a narrow frame.
          bytesPerRow((width + 1) / 2 * 2), chromaRows((height + 1) / 2) {
        for (std::size_t i = 0; i < count; ++i) {
            slots_.push_back(std::make_shared<Slot>());
            busy_.push_back(false);
        }
    }

    // A free buffer's slot, or none when the consumer holds them all.
    std::shared_ptr<Slot> take() {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (!busy_[i]) {
                if (slots_[i]->memory.empty()) {
                    slots_[i]->memory.resize(bytesPerRow * (height + chromaRows));
                }
                busy_[i] = true;
                std::weak_ptr<PixelPool> pool = weak_from_this();
                // The lease keeps the memory alive even if the pool goes first.
                return std::shared_ptr<Slot>(slots_[i].get(), [pool, i, keep = slots_[i]](Slot*) {
                    if (auto home = pool.lock()) {
                        home->giveBack(i);
                    }
                });
            }
        }
        return nullptr;
    }

    std::uint8_t* luma(Slot& slot) const { return slot.memory.data(); }
    std::uint8_t* chroma(Slot& slot) const { return slot.memory.data() + bytesPerRow * height; }

    const std::size_t width;
    const std::size_t height;
    const std::size_t bytesPerRow;
    const std::size_t chromaRows;

  private:
    void giveBack(std::size_t i) {
        std::lock_guard lock(mutex_);
        busy_[i] = false;
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Slot>> slots_;
    std::vector<bool> busy_;
};

inline SampleBufferPtr sample(std::shared_ptr<const PixelBuffer> picture, FrameStatus status) {
    auto buffer = std::make_shared<SampleBuffer>();
    buffer->attachments = std::vector<Attachments>{
        {{std::string(frameStatusKey), static_cast<std::int64_t>(status)}}};
    buffer->imageBuffer = std::move(picture);
    buffer->numSamples = 1;
    return buffer;
}

} // namespace lumatap::media
