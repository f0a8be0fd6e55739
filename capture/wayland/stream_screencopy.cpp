// Pictures of an output for the screen stream, through wlr-screencopy.
//
// The source has a connection of its own (a connection serves one thread) and keeps the
// output's picture up to date in place: the compositor answers a frame once the output has
// changed and says where, so its answers are the source's changes, and only those parts are
// converted. The pointer, where wanted, is drawn by the compositor.
#include "capture/wayland/stream_screencopy.h"

#include "capture/media/picture_size.h"
#include "capture/media/screen_stream.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/screencopy.h"

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
    explicit Source(DisplayID display) : display_(display) {}

    bool prepare(const StreamConfiguration& configuration, std::size_t& width, std::size_t& height,
                 ErrorPtr& error) override;
    bool wait(Clock::time_point deadline) override;
    bool pending() const override { return !damage_.empty() || ended_; }
    bool report(media::Changes& changes, ErrorPtr& error) override;
    std::optional<BgraView> read(const Area& area, ErrorPtr& error) override;

  private:
    // The damage of the latest frame, added to what was not reported yet.
    void collect();

    const DisplayID display_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<Screencopy> copy_;
    std::vector<Rect> damage_;
    bool first_ = true;
    ErrorPtr ended_;
};

bool Source::prepare(const StreamConfiguration& c, std::size_t& width, std::size_t& height,
                     ErrorPtr& error) {
    connection_ = Connection::open(error);
    if (!connection_ || !connection_->offersScreencopy(error)) {
        return false;
    }
    const Output* output = connection_->outputWithID(display_);
    if (!output) {
        error = streamError(sourceStopped, "the display was disconnected");
        return false;
    }
    copy_ = std::make_unique<Screencopy>(*connection_, *output, c.showsCursor.value_or(true));
    // One frame now, so that an output that cannot be read fails the start instead of leaving
    // it waiting for a picture that never comes.
    if (!copy_->next(Clock::now() + connection_->timeout(), error)) {
        return false;
    }
    collect();
    const Image& picture = copy_->picture();
    std::string problem;
    if (!media::frameSize(c, picture.width, picture.height, problem)) {
        error = streamError(captureFailed, std::move(problem));
        return false;
    }
    width = picture.width;
    height = picture.height;
    return true;
}

void Source::collect() {
    damage_.insert(damage_.end(), copy_->damage().begin(), copy_->damage().end());
}

bool Source::wait(Clock::time_point deadline) {
    if (pending()) {
        return true;
    }
    ErrorPtr error;
    if (copy_->next(deadline, error)) {
        collect();
        return pending();
    }
    // Nothing changed: the request stays, and the next wait goes on waiting for it.
    if (error && error->code == timedOut) {
        return false;
    }
    ended_ = error && error->code == sourceStopped
                 ? streamError(sourceStopped, "the display was disconnected")
             : error ? error
                     : streamError(captureFailed, "the compositor stopped the capture");
    return true;
}

bool Source::report(media::Changes& changes, ErrorPtr& error) {
    if (ended_) {
        error = ended_;
        return false;
    }
    const Image& picture = copy_->picture();
    changes.width = picture.width;
    changes.height = picture.height;
    changes.whole = first_;
    first_ = false;
    for (const Rect& r : damage_) {
        changes.damage.push_back({static_cast<std::size_t>(r.x), static_cast<std::size_t>(r.y),
                                  static_cast<std::size_t>(r.width),
                                  static_cast<std::size_t>(r.height)});
    }
    damage_.clear();
    return true;
}

std::optional<BgraView> Source::read(const Area& area, ErrorPtr&) {
    // The picture is this source's own, updated in place only by a later wait, whose changes
    // the next report tells.
    const Image& picture = copy_->picture();
    if (area.x + area.width > picture.width || area.y + area.height > picture.height) {
        return std::nullopt;
    }
    return BgraView{picture.pixels.data() + area.y * picture.bytesPerRow + area.x * 4, area.width,
                    area.height, picture.bytesPerRow};
}

} // namespace

std::shared_ptr<Stream>
createScreencopyStream(DisplayID display, std::shared_ptr<const StreamConfiguration> configuration,
                       std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<media::ScreenStream>(
        std::make_unique<Source>(display), std::move(configuration), std::move(delegate),
        media::ScreenStream::Refusals{std::string(errorDomain), captureFailed, captureFailed,
                                      captureFailed, captureFailed});
}

} // namespace lumatap::wayland
