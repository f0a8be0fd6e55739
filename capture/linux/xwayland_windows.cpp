#include "capture/linux/xwayland_windows.h"

#include "capture/linux/forwarding.h"
#include "capture/media/screen_stream.h"

#include <utility>

namespace lumatap::platform {
namespace {

class XwaylandWindows : public Forwarding {
  public:
    XwaylandWindows(std::unique_ptr<Platform> displays, std::unique_ptr<Platform> windows)
        : Forwarding(std::move(displays)), windows_(std::move(windows)) {}

    // The compositor's snapshot first, then the X display's; a failure of either is the
    // answer, since a listing without the other's part would pass for the whole truth.
    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override {
        Platform* windows = windows_.get();
        desktop_->getShareableContent(
            excludeDesktopWindows, onScreenWindowsOnly,
            [=, completion = std::move(completion)](
                std::shared_ptr<const ShareableContent> displays, ErrorPtr error) {
                if (!displays || error || !windows) {
                    completion(std::move(displays), std::move(error));
                    return;
                }
                windows->getShareableContent(
                    excludeDesktopWindows, onScreenWindowsOnly,
                    [displays, completion](std::shared_ptr<const ShareableContent> x,
                                           ErrorPtr error) {
                        if (!x || error) {
                            completion(nullptr, error);
                            return;
                        }
                        auto content = std::make_shared<ShareableContent>(*x);
                        content->displays = displays->displays;
                        completion(std::move(content), nullptr);
                    });
            });
    }
    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        if (!windows_) {
            return std::vector<WindowInfo>{};
        }
        return windows_->copyWindowInfo(options, relativeToWindow);
    }
    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      ImageCompletion completion) override {
        if (filter && filter->window) {
            if (!windows_) {
                completion(nullptr, noWindows());
                return;
            }
            windows_->captureImage(std::move(filter), std::move(configuration),
                                   std::move(completion));
            return;
        }
        desktop_->captureImage(std::move(filter), std::move(configuration), std::move(completion));
    }
    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        if (filter && filter->window) {
            if (!windows_) {
                return std::make_shared<media::RefusedStream>(noWindows());
            }
            return windows_->createStream(std::move(filter), std::move(configuration),
                                          std::move(delegate));
        }
        return desktop_->createStream(std::move(filter), std::move(configuration),
                                      std::move(delegate));
    }

  private:
    static ErrorPtr noWindows() {
        return makeError("lumatap", 1, "the session has no X display whose windows to capture");
    }

    std::unique_ptr<Platform> windows_;
};

} // namespace

std::unique_ptr<Platform> withXwaylandWindows(std::unique_ptr<Platform> displays,
                                              std::unique_ptr<Platform> windows) {
    return std::make_unique<XwaylandWindows>(std::move(displays), std::move(windows));
}

} // namespace lumatap::platform
