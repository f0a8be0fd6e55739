// Capture streams of an output or a toplevel.
//
// Each stream has a thread of its own with a connection of its own (a connection serves one
// thread), and keeps one capture session open. The compositor answers a frame request once
// the source has changed, so damage drives the frames: a tick that gets a frame delivers it,
// scaled into the configured size with its aspect kept and converted to NV12; a tick that
// gets none delivers an idle frame, as a screen that stands still produces nothing new.
#include "capture/wayland/stream_wayland.h"

#include "capture/media/compose.h"
#include "capture/media/picture_stream.h"
#include "capture/media/pixel_pool.h"
#include "capture/media/scale.h"
#include "capture/media/yuv.h"
#include "capture/wayland/capture.h"
#include "capture/wayland/connection.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <thread>

namespace lumatap::wayland {
namespace {

ErrorPtr streamError(std::int64_t code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

class ScreenStream : public media::PictureStream {
  public:
    ScreenStream(StreamSource source, std::shared_ptr<const StreamConfiguration> configuration,
                 std::shared_ptr<StreamDelegate> delegate)
        : media::PictureStream(std::move(delegate), {std::string(errorDomain), captureFailed,
                                                     captureFailed, captureFailed}),
          source_(std::move(source)), configuration_(std::move(configuration)) {}

  private:
    void prepare(ErrorPtr& error) override;
    std::function<void()> capture() override {
        return [stream = weakSelf<ScreenStream>()] { run(stream); };
    }
    static void run(const std::weak_ptr<ScreenStream>& stream);
    bool tick(Clock::time_point deadline, ErrorPtr& error);
    std::shared_ptr<const PixelBuffer> compose(const Frame& frame);

    const StreamSource source_;
    const std::shared_ptr<const StreamConfiguration> configuration_;

    // Everything below belongs to the capture thread once it runs.
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<CaptureSession> session_;
    std::optional<Frame> first_; // read at the start, delivered by the first tick
    Clock::duration interval_{};
    bool keepAspect_ = true;
    std::shared_ptr<media::PixelPool> pool_;
    std::unique_ptr<media::FrameComposer> composer_;
    // What changed since the last picture made: frames that find no free buffer are not made.
    std::vector<media::Area> missed_;
};

void ScreenStream::prepare(ErrorPtr& error) {
    const StreamConfiguration none;
    const StreamConfiguration& c = configuration_ ? *configuration_ : none;
    if (c.pixelFormat && *c.pixelFormat != pixelFormat420v) {
        error = streamError(captureFailed, "only 420v pictures can be streamed");
        return;
    }
    connection_ = Connection::open(error);
    if (!connection_) {
        return;
    }
    bool cursor = c.showsCursor.value_or(true);
    if (const auto* identifier = std::get_if<std::string>(&source_)) {
        const Toplevel* found = nullptr;
        for (const auto& t : connection_->toplevels()) {
            if (!t->closed && t->identifier == *identifier) {
                found = t.get();
            }
        }
        if (!found) {
            error = streamError(sourceStopped, "the window was destroyed");
            return;
        }
        session_ = CaptureSession::ofToplevel(*connection_, *found, cursor, error);
    } else {
        const Output* output = connection_->outputNamed(std::get<std::uint32_t>(source_));
        if (!output || output->removed) {
            error = streamError(sourceStopped, "the display was disconnected");
            return;
        }
        session_ = CaptureSession::ofOutput(*connection_, *output, cursor, error);
    }
    if (!session_) {
        return;
    }
    keepAspect_ = c.preservesAspectRatio.value_or(true);
    interval_ = media::frameInterval(c);

    // One frame now, so that a source that cannot be read fails the start instead of leaving
    // it waiting for a picture that never comes. Without a configured size, its size is the
    // frame size.
    first_ = session_->nextFrame(Clock::now() + connection_->timeout(), error);
    if (!first_) {
        return;
    }
    std::int64_t width = c.width.value_or(0);
    std::int64_t height = c.height.value_or(0);
    if (width < 1 || height < 1) {
        width = static_cast<std::int64_t>(first_->image.width);
        height = static_cast<std::int64_t>(first_->image.height);
    }
    if (width < 1 || height < 1 || width > (1 << 15) || height > (1 << 15)) {
        error = streamError(captureFailed, "the frame size " + std::to_string(width) + "x" +
                                               std::to_string(height) + " is not possible");
        return;
    }
    std::size_t depth = static_cast<std::size_t>(std::clamp(c.queueDepth.value_or(3), 1, 8));
    pool_ = std::make_shared<media::PixelPool>(static_cast<std::size_t>(width),
                                               static_cast<std::size_t>(height), depth);
    composer_ = std::make_unique<media::FrameComposer>(
        static_cast<std::size_t>(width), static_cast<std::size_t>(height), keepAspect_);
}

void ScreenStream::run(const std::weak_ptr<ScreenStream>& stream) {
    auto next = Clock::now();
    for (;;) {
        {
            // Held only for a tick: the stream may go between ticks, and then this ends.
            auto self = stream.lock();
            if (!self || self->stopping()) {
                return;
            }
            next += self->interval_;
            ErrorPtr error;
            bool going = false;
            try {
                going = self->tick(next, error);
            } catch (const std::bad_alloc&) {
                error = streamError(captureFailed, "not enough memory for the stream's frames");
            }
            if (!going) {
                // The stream is over: the delegate hears why, once, from this thread.
                self->delegate_->streamDidStopWithError(*self, error);
                return;
            }
        }
        auto now = Clock::now();
        // A slow frame is not made up for with a burst of frames.
        if (next < now) {
            next = now;
        }
        std::this_thread::sleep_until(next);
    }
}

bool ScreenStream::tick(Clock::time_point deadline, ErrorPtr& error) {
    std::optional<Frame> frame;
    if (first_) {
        frame = std::move(first_);
        first_.reset();
    } else {
        frame = session_->nextFrame(deadline, error);
    }
    if (!frame) {
        if (error && error->code == timedOut) {
            // Nothing changed: the request stays, and the next tick goes on waiting for it.
            error.reset();
            deliver(media::sample(nullptr, FrameStatus::idle), true);
            return true;
        }
        if (error && error->code == sourceStopped) {
            error = streamError(sourceStopped, std::holds_alternative<std::string>(source_)
                                                   ? "the window was destroyed"
                                                   : "the display was disconnected");
        }
        return false;
    }
    if (frame->image.width == 0 || frame->image.height == 0) {
        deliver(media::sample(nullptr, FrameStatus::idle), true);
        return true;
    }
    // With every buffer still held downstream no picture is made; its changes wait for the next.
    if (auto picture = compose(*frame)) {
        deliver(media::sample(std::move(picture), FrameStatus::complete), false);
    }
    return true;
}

std::shared_ptr<const PixelBuffer> ScreenStream::compose(const Frame& frame) {
    const Image& image = frame.image;
    media::BgraView view{image.pixels.data(), image.width, image.height, image.bytesPerRow};
    for (const Rect& r : frame.damage) {
        double left = std::clamp(std::floor(r.x), 0.0, static_cast<double>(view.width));
        double top = std::clamp(std::floor(r.y), 0.0, static_cast<double>(view.height));
        double right = std::clamp(std::ceil(r.x + r.width), left, static_cast<double>(view.width));
        double bottom =
            std::clamp(std::ceil(r.y + r.height), top, static_cast<double>(view.height));
        missed_.push_back({static_cast<std::size_t>(left), static_cast<std::size_t>(top),
                           static_cast<std::size_t>(right - left),
                           static_cast<std::size_t>(bottom - top)});
    }
    auto slot = pool_->take();
    if (!slot) {
        // The damage counts from the last picture made, so it is kept for the next frame;
        // a flood of it is more simply made again whole.
        if (missed_.size() > 256) {
            missed_.clear();
            composer_->invalidate();
        }
        return nullptr;
    }
    composer_->setSource(view.width, view.height);
    // Made straight in the buffer that is sent; a frame left unfinished leaves it holding none.
    composer_->begin(pool_->luma(*slot), slot->frame);
    for (const auto& job : composer_->plan(missed_)) {
        composer_->update(job, view, 0, 0);
    }
    missed_.clear();
    slot->frame = composer_->finish();
    auto picture = std::make_shared<PixelBuffer>();
    picture->planes = {{pool_->luma(*slot), pool_->bytesPerRow, pool_->height},
                       {pool_->chroma(*slot), pool_->bytesPerRow, pool_->chromaRows}};
    picture->storage = std::move(slot);
    return picture;
}

} // namespace

std::shared_ptr<Stream> createScreenStream(StreamSource source,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<ScreenStream>(std::move(source), std::move(configuration),
                                          std::move(delegate));
}

} // namespace lumatap::wayland
