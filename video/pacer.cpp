#include "video/pacer.h"

#include "capture/failure.h"
#include "capture/target.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"

#include <array>
#include <chrono>
#include <thread>
#include <variant>

namespace lumatap {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// The frame information a platform attaches to a picture; only a complete frame carries one
// worth packing.
bool isComplete(const SampleBuffer& sample) {
    if (!sample.valid || !sample.attachments || sample.attachments->empty()) {
        return false;
    }
    const Attachments& info = sample.attachments->front();
    auto status = info.find(frameStatusKey);
    if (status == info.end()) {
        return false;
    }
    const auto* value = std::get_if<std::int64_t>(&status->second);
    return value && *value == static_cast<std::int64_t>(FrameStatus::complete);
}

} // namespace

Pacer::Pacer(std::int64_t width, std::int64_t height, double fps, double idle,
             std::optional<WindowID> windowID)
    : width(width), height(height), fps(fps), idle(idle), windowID(windowID),
      pool(std::make_shared<FramePool>(static_cast<std::size_t>(width * height * 3 / 2), 3)),
      tail(static_cast<std::size_t>(height % 2 ? width / 2 : 0)) {
}

std::shared_ptr<const Bytes> Pacer::copyNV12(const PixelBuffer& imageBuffer) const {
    auto block = pool->take();
    if (block) {
        lumatap::copyNV12(imageBuffer, width, height, block->data());
    }
    return block;
}

Pacer::Frame Pacer::frameOf(const std::shared_ptr<const PixelBuffer>& imageBuffer) const {
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const PixelBuffer& source = *imageBuffer;
    const std::uint8_t* luma = source.baseAddressOfPlane(0);
    const std::uint8_t* chroma = source.baseAddressOfPlane(1);
    Frame frame;
    // Rows without padding are already the host's layout: writing them straight from the
    // held picture saves copying a whole frame for every picture, however little changed.
    if (luma && chroma && source.bytesPerRowOfPlane(0) == w && source.heightOfPlane(0) >= h &&
        source.bytesPerRowOfPlane(1) == w && source.heightOfPlane(1) >= h / 2) {
        frame.holder = imageBuffer;
        const std::size_t lumaSize = w * h;
        const std::size_t chromaSize = w * (h / 2);
        if (chroma == luma + lumaSize) {
            frame.spans[frame.count++] = {luma, lumaSize + chromaSize};
        } else {
            frame.spans[frame.count++] = {luma, lumaSize};
            frame.spans[frame.count++] = {chroma, chromaSize};
        }
        if (!tail.empty()) {
            frame.spans[frame.count++] = {tail.data(), tail.size()};
        }
        return frame;
    }
    auto block = copyNV12(source);
    if (!block) {
        return frame;
    }
    frame.spans[frame.count++] = {block->data(), block->size()};
    frame.holder = std::move(block);
    return frame;
}

void Pacer::streamDidOutputSampleBuffer(Stream&, const SampleBufferPtr& sampleBuffer,
                                        OutputType type) {
    if (type != OutputType::screen || !sampleBuffer || !isComplete(*sampleBuffer) ||
        !sampleBuffer->imageBuffer) {
        return;
    }
    // Made before the lock, so a large copy never delays the writer.
    auto frame = frameOf(sampleBuffer->imageBuffer);
    if (!frame.holder) {
        return;
    }
    {
        std::lock_guard held(cond.lock);
        std::swap(latest, frame);
        fresh = true;
        cond.signal.notify_one();
    }
    // `frame` now holds the replaced one, released here rather than under the lock.
    frame = {};
    if (!announced) {
        announced = true;
        say(readyLine);
    }
}

void Pacer::streamDidStopWithError(Stream&, ErrorPtr error) {
    if (windowID && !windowExists(*windowID)) {
        fail(windowClosedLine, statusGone);
    }
    failWith(error);
}

void Pacer::run() {
    const Clock::duration spacing = seconds(0.75 / fps);
    const Clock::duration patience = seconds(1 / idle);
    // The first new frame is never delayed.
    Clock::time_point pacing = Clock::time_point::min();
    if (windowID) {
        // About once a second, on a thread of its own: the answer may take as long as the
        // desktop does (a stopped or frozen one never gives it), and the repeats must not
        // wait for it. Once the window is gone no frame starts, and one under way finishes.
        std::thread([id = *windowID] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                if (!windowExists(id)) {
                    fail(windowClosedLine, statusGone);
                }
            }
        }).detach();
    }
    for (;;) {
        bool tookNew = false;
        Frame frame;
        {
            std::unique_lock held(cond.lock);
            // One wait, then `fresh` decides: a spurious wake-up only makes an early repeat.
            if (!fresh) {
                cond.signal.wait_until(held, Clock::now() + patience);
            }
            tookNew = fresh;
            fresh = false;
            frame = latest;
        }
        if (tookNew && pacing > Clock::now()) {
            std::this_thread::sleep_until(pacing);
        }
        if (!frame.holder) {
            continue;
        }
        std::array<Part, 3> parts;
        for (std::size_t i = 0; i < frame.count; ++i) {
            parts[i] = {frame.spans[i].data, frame.spans[i].size};
        }
        // One piece, so that an ending elsewhere lets the frame finish rather than cut it.
        if (!writeAll(parts.data(), frame.count)) {
            // The reader has gone (the job is over, and there is nobody left to tell), or the
            // process is ending already, which this joins.
            exitProcess(statusDone);
        }
        pacing = Clock::now() + spacing;
    }
}

} // namespace lumatap
