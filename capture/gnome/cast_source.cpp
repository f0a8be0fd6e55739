#include "capture/gnome/cast_source.h"

#include "capture/dbus/bus.h"
#include "capture/gnome/shell.h"
#include "capture/pipewire/source.h"

#include <algorithm>

namespace lumatap::gnome {
namespace {

class CastSource : public media::FrameSource {
  public:
    explicit CastSource(CastTarget target) : target_(std::move(target)) {}

    bool prepare(const StreamConfiguration& configuration, std::size_t& width, std::size_t& height,
                 ErrorPtr& error) override {
        bus_ = dbus::Bus::session(error);
        if (!bus_) {
            return false;
        }
        // The pointer comes as metadata, for the stream to draw where it is: the shell then
        // sends a frame when only the pointer moved, and none of its pixels are redrawn.
        bool pointer = configuration.showsCursor.value_or(true);
        auto mode = pointer ? Cast::Cursor::metadata : Cast::Cursor::hidden;
        if (const auto* connector = std::get_if<std::string>(&target_)) {
            cast_ = Cast::ofMonitor(*bus_, *connector, mode, error);
        } else {
            cast_ = Cast::ofWindow(*bus_, std::get<std::uint64_t>(target_), mode, error);
        }
        if (!cast_) {
            if (error && error->code == sourceStopped) {
                error = gone();
            }
            return false;
        }
        pipewire::SourceOptions options;
        options.node = cast_->node();
        options.pointer = pointer ? pipewire::PointerMode::metadata : pipewire::PointerMode::hidden;
        options.ending = [this] { return ending(); };
        inner_ = pipewire::makeSource(std::move(options));
        return inner_->prepare(configuration, width, height, error);
    }
    bool wait(media::Clock::time_point deadline) override { return inner_->wait(deadline); }
    bool pending() const override { return inner_->pending(); }

    bool report(media::Changes& changes, ErrorPtr& error) override {
        if (!inner_->report(changes, error)) {
            return false;
        }
        if (std::holds_alternative<std::string>(target_)) {
            return true;
        }
        if (changes.width != pictureWidth_ || changes.height != pictureHeight_) {
            pictureWidth_ = changes.width;
            pictureHeight_ = changes.height;
            media::Area before = frame_;
            measure();
            changes.whole = changes.whole || !(before == frame_);
        }
        changes.width = frame_.width;
        changes.height = frame_.height;
        std::vector<media::Area> damage;
        for (const media::Area& a : changes.damage) {
            std::size_t left = std::max(a.x, frame_.x);
            std::size_t top = std::max(a.y, frame_.y);
            std::size_t right = std::min(a.x + a.width, frame_.x + frame_.width);
            std::size_t bottom = std::min(a.y + a.height, frame_.y + frame_.height);
            if (left < right && top < bottom) {
                damage.push_back({left - frame_.x, top - frame_.y, right - left, bottom - top});
            }
        }
        changes.damage = std::move(damage);
        if (changes.pointer) {
            changes.pointer->left -= static_cast<std::int64_t>(frame_.x);
            changes.pointer->top -= static_cast<std::int64_t>(frame_.y);
        }
        return true;
    }

    std::optional<media::BgraView> read(const media::Area& area, ErrorPtr& error) override {
        if (std::holds_alternative<std::string>(target_)) {
            return inner_->read(area, error);
        }
        return inner_->read({area.x + frame_.x, area.y + frame_.y, area.width, area.height}, error);
    }
    bool readsOnce() const override { return inner_->readsOnce(); }

  private:
    // A window's cast shows all the client drew, its client-side shadows too; the window is
    // its frame within that, as the shell tells it. Asked again only when the picture's size
    // changes, since a shadow changes only with the window's size or state.
    void measure() {
        frame_ = {0, 0, pictureWidth_, pictureHeight_};
        ErrorPtr ignored;
        auto now = windows(*bus_, ignored);
        if (!now) {
            return;
        }
        auto id = std::get<std::uint64_t>(target_);
        for (const ShellWindow& w : *now) {
            if (w.id != id || w.buffer.width <= 0 || w.buffer.height <= 0) {
                continue;
            }
            // The picture may be at another scale than the shell's layout.
            Rect frame = visibleFrame(w);
            double sx = pictureWidth_ / w.buffer.width;
            double sy = pictureHeight_ / w.buffer.height;
            auto x = static_cast<std::size_t>(std::max(0.0, (frame.x - w.buffer.x) * sx));
            auto y = static_cast<std::size_t>(std::max(0.0, (frame.y - w.buffer.y) * sy));
            if (x >= pictureWidth_ || y >= pictureHeight_) {
                return;
            }
            frame_ = {x, y, std::min(pictureWidth_ - x, static_cast<std::size_t>(frame.width * sx)),
                      std::min(pictureHeight_ - y, static_cast<std::size_t>(frame.height * sy))};
        }
    }

    ErrorPtr gone() const {
        return makeError(std::string(errorDomain), sourceStopped,
                         std::holds_alternative<std::string>(target_)
                             ? "the display was disconnected"
                             : "the window was destroyed");
    }

    // Why the cast stopped: its monitor or window gone, or the shell itself.
    ErrorPtr ending() {
        ErrorPtr error;
        if (const auto* connector = std::get_if<std::string>(&target_)) {
            auto now = monitors(*bus_, error);
            if (now && std::none_of(now->begin(), now->end(),
                                    [&](const Monitor& m) { return m.connector == *connector; })) {
                return gone();
            }
        } else {
            auto now = windows(*bus_, error);
            auto id = std::get<std::uint64_t>(target_);
            if (now && std::none_of(now->begin(), now->end(),
                                    [&](const ShellWindow& w) { return w.id == id; })) {
                return gone();
            }
        }
        if (error) {
            return error;
        }
        return cast_->closed() ? makeError(std::string(errorDomain), shellFailed,
                                           "GNOME Shell stopped the screen cast")
                               : nullptr;
    }

    const CastTarget target_;
    // Destroyed in reverse: the reading first, then the session, then its bus.
    std::unique_ptr<dbus::Bus> bus_;
    std::unique_ptr<Cast> cast_;
    std::unique_ptr<media::FrameSource> inner_;
    // A window's picture as last reported, and its frame within it.
    std::size_t pictureWidth_ = 0;
    std::size_t pictureHeight_ = 0;
    media::Area frame_;
};

} // namespace

std::unique_ptr<media::FrameSource> makeCastSource(CastTarget target) {
    return std::make_unique<CastSource>(std::move(target));
}

} // namespace lumatap::gnome
