// Pictures of an output or a toplevel for the screen stream.
//
// The source has a connection of its own (a connection serves one thread) and keeps one
// capture session open. The compositor answers a frame request once the source has changed,
// and says where, so its answers are the source's changes; the pointer, where wanted, is drawn
// by the compositor.
#include "capture/wayland/stream_wayland.h"

#include "capture/media/picture_size.h"
#include "capture/media/screen_stream.h"
#include "capture/wayland/capture.h"
#include "capture/wayland/connection.h"

#include <algorithm>
#include <cmath>

namespace lumatap::wayland {
namespace {

using media::Area;
using media::BgraView;

ErrorPtr streamError(std::int64_t code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

class Source : public media::FrameSource {
  public:
    explicit Source(StreamSource source) : source_(std::move(source)) {}

    bool prepare(const StreamConfiguration& configuration, std::size_t& width, std::size_t& height,
                 ErrorPtr& error) override;
    bool wait(Clock::time_point deadline) override;
    bool pending() const override { return fresh_ || ended_; }
    bool report(media::Changes& changes, ErrorPtr& error) override;
    std::optional<BgraView> read(const Area& area, ErrorPtr& error) override;

  private:
    // The session's end, told as the stream's.
    ErrorPtr ending(ErrorPtr error) const;

    const StreamSource source_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<CaptureSession> session_;
    // The latest frame, kept so that changes a full pool could not show yet are read from it
    // later; and whether it came after the last report.
    std::optional<Frame> latest_;
    bool fresh_ = false;
    bool first_ = true;
    ErrorPtr ended_;
};

bool Source::prepare(const StreamConfiguration& c, std::size_t& width, std::size_t& height,
                     ErrorPtr& error) {
    connection_ = Connection::open(error);
    if (!connection_ || !connection_->offersExtCapture(error)) {
        return false;
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
            return false;
        }
        session_ = CaptureSession::ofToplevel(*connection_, *found, cursor, error);
    } else {
        const Output* output = connection_->outputWithID(std::get<std::uint32_t>(source_));
        if (!output || output->removed) {
            error = streamError(sourceStopped, "the display was disconnected");
            return false;
        }
        session_ = CaptureSession::ofOutput(*connection_, *output, cursor, error);
    }
    if (!session_) {
        return false;
    }
    // One frame now, so that a source that cannot be read fails the start instead of leaving
    // it waiting for a picture that never comes.
    latest_ = session_->nextFrame(Clock::now() + connection_->timeout(), error);
    if (!latest_) {
        return false;
    }
    fresh_ = true;
    std::string problem;
    if (!media::frameSize(c, latest_->image.width, latest_->image.height, problem)) {
        error = streamError(captureFailed, std::move(problem));
        return false;
    }
    width = latest_->image.width;
    height = latest_->image.height;
    return true;
}

bool Source::wait(Clock::time_point deadline) {
    if (pending()) {
        return true;
    }
    ErrorPtr error;
    // Made from the latest frame and what changed since: nothing reads the latest any more
    // once a new one has come.
    auto frame = session_->nextFrame(deadline, error, latest_ ? &latest_->image : nullptr);
    if (frame) {
        latest_ = std::move(frame);
        fresh_ = true;
        return true;
    }
    // Nothing changed: the request stays, and the next wait goes on waiting for it.
    if (error && error->code == timedOut) {
        return false;
    }
    ended_ = ending(error);
    return true;
}

ErrorPtr Source::ending(ErrorPtr error) const {
    if (error && error->code == sourceStopped) {
        return streamError(sourceStopped, std::holds_alternative<std::string>(source_)
                                              ? "the window was destroyed"
                                              : "the display was disconnected");
    }
    return error ? error : streamError(captureFailed, "the compositor stopped the capture");
}

bool Source::report(media::Changes& changes, ErrorPtr& error) {
    if (ended_) {
        error = ended_;
        return false;
    }
    if (!latest_) {
        return true;
    }
    const Image& image = latest_->image;
    changes.width = image.width;
    changes.height = image.height;
    changes.whole = first_;
    first_ = false;
    if (fresh_) {
        for (const Rect& r : latest_->damage) {
            changes.damage.push_back(media::pixelArea(r, image.width, image.height));
        }
        fresh_ = false;
    }
    return true;
}

std::optional<BgraView> Source::read(const Area& area, ErrorPtr&) {
    if (!latest_) {
        return std::nullopt;
    }
    // The frame is this source's own copy of the compositor's buffer.
    const Image& image = latest_->image;
    if (area.x + area.width > image.width || area.y + area.height > image.height) {
        return std::nullopt;
    }
    return BgraView{image.pixels.data() + area.y * image.bytesPerRow + area.x * 4, area.width,
                    area.height, image.bytesPerRow};
}

} // namespace

std::shared_ptr<Stream> createScreenStream(StreamSource source,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<media::ScreenStream>(
        std::make_unique<Source>(std::move(source)), std::move(configuration), std::move(delegate),
        media::ScreenStream::Refusals{std::string(errorDomain), captureFailed, captureFailed,
                                      captureFailed, captureFailed});
}

} // namespace lumatap::wayland
