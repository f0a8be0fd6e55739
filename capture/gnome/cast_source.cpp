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
        return inner_->report(changes, error);
    }
    std::optional<media::BgraView> read(const media::Area& area, ErrorPtr& error) override {
        return inner_->read(area, error);
    }
    bool readsOnce() const override { return inner_->readsOnce(); }

  private:
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
};

} // namespace

std::unique_ptr<media::FrameSource> makeCastSource(CastTarget target) {
    return std::make_unique<CastSource>(std::move(target));
}

} // namespace lumatap::gnome
