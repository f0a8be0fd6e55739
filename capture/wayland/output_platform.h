// What every platform over a Wayland connection answers alike: its displays are the
// compositor's outputs, their geometry as the outputs give it, and a still is the picture of
// one frame, scaled.
#pragma once

#include "capture/platform.h"
#include "capture/wayland/connection.h"

#include <memory>
#include <mutex>
#include <optional>

namespace lumatap::wayland {

class OutputPlatform : public Platform {
  public:
    explicit OutputPlatform(std::unique_ptr<Connection> connection);

    std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) override;
    Rect displayBounds(DisplayID display) override;
    DisplayID mainDisplayID() override;
    bool displayIsMain(DisplayID display) override;
    std::optional<DisplayID> displayWithPoint(Point p) override;

  protected:
    // The output `display` numbers, unless it was unplugged. Called with the lock held.
    const Output* live(DisplayID display) const;
    // The first output, which the protocols give no way to tell from the others. Called with
    // the lock held.
    const Output* mainOutput() const;
    // The still of `picture` at the size `configuration` asks for.
    static std::shared_ptr<const Image>
    stillOf(const Image& picture, const StreamConfiguration* configuration, ErrorPtr& error);

    // The connection serves one request at a time: every call takes this lock.
    std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
};

} // namespace lumatap::wayland
