// Sits between the capture stream and standard output: keeps only the newest complete frame,
// writes each new one no sooner than 0.75 / FPS s after the previous write, and repeats the
// newest every 1 / IDLE s while nothing new arrives, so the host sees a live picture without a
// queue growing behind a slow reader.
#pragma once

#include "capture/platform.h"
#include "video/nv12.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace lumatap {

class Pacer : public StreamOutput, public StreamDelegate {
  public:
    Pacer(std::int64_t width, std::int64_t height, double fps, double idle,
          std::optional<WindowID> windowID);

    // Frame intake, on the "frames" queue: packs complete screen frames and keeps the newest.
    // The stream's capture thread often runs it itself, so it never waits for the writer.
    void streamDidOutputSampleBuffer(Stream& stream, const SampleBufferPtr& sampleBuffer,
                                     OutputType type) override;
    // Ends the process: a window that has gone is "closed", anything else goes to failWith.
    void streamDidStopWithError(Stream& stream, ErrorPtr error) override;

    // One packed frame of exactly width * height * 3 / 2 bytes; none only when memory ran out.
    std::shared_ptr<const Bytes> copyNV12(const PixelBuffer& imageBuffer) const;

    // A frame as it is written: the bytes of the host's layout in order, in up to three spans,
    // and whatever keeps them alive and unchanged.
    struct Frame {
        struct Span {
            const std::uint8_t* data = nullptr;
            std::size_t size = 0;
        };
        std::shared_ptr<const void> holder;
        std::array<Span, 3> spans{};
        std::size_t count = 0;
    };
    // The frame of a picture: its own planes where their rows already are the host's layout,
    // else a packed copy; without a holder only when memory ran out.
    Frame frameOf(const std::shared_ptr<const PixelBuffer>& imageBuffer) const;

    // Writes frames to standard output until the process ends.
    [[noreturn]] void run();

    const std::int64_t width;
    const std::int64_t height;
    const double fps;
    const double idle;
    const std::optional<WindowID> windowID;

  private:
    struct Condition {
        std::mutex lock;
        std::condition_variable signal;
    };

    // At most three packed frames exist at once: `latest`, the one being written, the one being
    // packed.
    std::shared_ptr<FramePool> pool;
    // The zero bytes that end a frame of an odd height.
    Bytes tail;
    Condition cond;
    Frame latest;           // guarded by cond
    bool fresh = false;     // guarded by cond
    bool announced = false; // touched by the intake only, on its serial queue
};

} // namespace lumatap
