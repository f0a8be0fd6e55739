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
    // The content of a snapshot taken under the lock, answered outside it.
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             platform::ContentCompletion completion) override;
    // A still is one frame of the display or window, taken under the lock.
    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      platform::ImageCompletion completion) override;
    std::optional<Bytes> encodePNG(const Image& image) override;

  protected:
    // The displays and windows as they are now, or none with `error`. Called with the lock
    // held.
    virtual std::shared_ptr<const ShareableContent> snapshot(ErrorPtr& error) = 0;
    // The still that `filter` asks for, or none with `error`. Called with the lock held.
    virtual std::shared_ptr<const Image> capture(const ContentFilter* filter,
                                                 const StreamConfiguration* configuration,
                                                 ErrorPtr& error) = 0;
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
