// A platform made of another: every call goes to the desktop it wraps, unless the wrapper
// answers it itself. The sound beside a desktop and an X display's windows beside a
// compositor's outputs are each such a wrapper.
#pragma once

#include "capture/platform.h"

#include <memory>
#include <utility>

namespace lumatap::platform {

class Forwarding : public Platform {
  public:
    explicit Forwarding(std::unique_ptr<Platform> desktop) : desktop_(std::move(desktop)) {}

    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override {
        desktop_->getShareableContent(excludeDesktopWindows, onScreenWindowsOnly,
                                      std::move(completion));
    }
    std::optional<DisplayMode> copyDisplayMode(DisplayID display) override {
        return desktop_->copyDisplayMode(display);
    }
    Rect displayBounds(DisplayID display) override { return desktop_->displayBounds(display); }
    DisplayID mainDisplayID() override { return desktop_->mainDisplayID(); }
    bool displayIsMain(DisplayID display) override { return desktop_->displayIsMain(display); }
    std::optional<DisplayID> displayWithPoint(Point point) override {
        return desktop_->displayWithPoint(point);
    }
    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        return desktop_->copyWindowInfo(options, relativeToWindow);
    }
    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      ImageCompletion completion) override {
        desktop_->captureImage(std::move(filter), std::move(configuration), std::move(completion));
    }
    std::optional<Bytes> encodePNG(const Image& image) override {
        return desktop_->encodePNG(image);
    }
    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        return desktop_->createStream(std::move(filter), std::move(configuration),
                                      std::move(delegate));
    }

  protected:
    std::unique_ptr<Platform> desktop_;
};

} // namespace lumatap::platform
