// The one stream of pictures, whatever desktop it reads. A desktop's frame source tells what
// changed; the stream makes each frame straight in a pooled NV12 buffer from only the changed
// source pixels (FrameComposer), draws the pointer where the source reports it, delivers the
// buffer to its outputs' queues, and delivers an idle frame at each interval when nothing
// changed, as a screen that stands still produces nothing new. It has one capture thread of
// its own, which ends by itself when the stream goes.
#pragma once

#include "capture/media/compose.h"
#include "capture/media/frame_source.h"
#include "capture/media/pixel_pool.h"
#include "capture/platform.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lumatap::media {

class ScreenStream : public Stream, public std::enable_shared_from_this<ScreenStream> {
  public:
    // The errors the stream's own refusals are reported with, in the desktop's error domain.
    struct Refusals {
        std::string domain;
        std::int64_t noOutput = 0;
        std::int64_t notStarted = 0;
        std::int64_t noMemory = 0;
        std::int64_t unsupported = 0;
    };

    ScreenStream(std::unique_ptr<FrameSource> source,
                 std::shared_ptr<const StreamConfiguration> configuration,
                 std::shared_ptr<StreamDelegate> delegate, Refusals refusals);
    ~ScreenStream() override;

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override;
    // Prepares the source on the caller's thread, then starts the capture thread.
    void startCapture(std::function<void(ErrorPtr)> completion) override;

  private:
    struct Registration {
        std::shared_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
    };

    void prepare(ErrorPtr& error);
    // The capture thread. It holds the stream only for a tick at a time, and waits holding the
    // source alone, so that a stream let go meanwhile ends.
    static void run(const std::weak_ptr<ScreenStream>& stream, std::shared_ptr<FrameSource> source,
                    Clock::duration interval);
    bool tick(ErrorPtr& error);
    // Takes in a report: what changed is kept until a frame shows it.
    void absorb(const Changes& changes);
    // Makes the frame from what changed; false when the source could not be read (with `error`
    // when it has ended).
    bool make(ErrorPtr& error);
    void draw(const BgraView& view, std::size_t viewX, std::size_t viewY) const;
    // Hands `sample` to every output's queue; an idle frame (`whenBehindSkip`) is not given to
    // a consumer that has not yet taken the last one.
    void deliver(const SampleBufferPtr& sample, bool whenBehindSkip);

    const std::shared_ptr<FrameSource> source_;
    const std::shared_ptr<const StreamConfiguration> configuration_;
    const std::shared_ptr<StreamDelegate> delegate_;
    const Refusals refusals_;
    std::mutex outputsMutex_;
    std::vector<Registration> outputs_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    // Everything below belongs to the capture thread once it runs.
    Clock::duration interval_{};
    std::shared_ptr<PixelPool> pool_;
    std::unique_ptr<FrameComposer> composer_;
    std::size_t sourceWidth_ = 0;
    std::size_t sourceHeight_ = 0;
    // What changed since the last frame made, in source pixels: frames that find every buffer
    // held downstream are not made, and their changes wait for the next.
    std::vector<Area> pending_;
    bool whole_ = true;
    std::optional<PointerImage> pointer_;
    // Where the pointer was drawn in the latest frame, in source pixels.
    std::optional<Area> pointerBox_;
    Clock::time_point lastRead_;
};

// A stream that refuses to start, for the one reason it was made with.
class RefusedStream : public Stream {
  public:
    explicit RefusedStream(ErrorPtr error) : error_(std::move(error)) {}
    bool addStreamOutput(std::shared_ptr<StreamOutput>, OutputType, std::shared_ptr<SerialQueue>,
                         ErrorPtr&) override {
        return true;
    }
    void startCapture(std::function<void(ErrorPtr)> completion) override { completion(error_); }

  private:
    ErrorPtr error_;
};

// The time between reads that a configuration asks for: its minimum frame interval, 1/60 s
// without one, and never less than a millisecond, since reading the screen more often gains
// nothing and would only burn the processor.
std::chrono::steady_clock::duration frameInterval(const StreamConfiguration& configuration);

} // namespace lumatap::media
