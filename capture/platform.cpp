#include "capture/platform.h"

#include <cstdlib>

namespace lumatap::platform {
namespace {

std::unique_ptr<Platform>& installed() {
    static std::unique_ptr<Platform> backend;
    return backend;
}

Platform& current() {
    auto& backend = installed();
    if (!backend) {
        // A program that never chose its platform is built wrong; nothing can be captured.
        std::abort();
    }
    return *backend;
}

} // namespace

void install(std::unique_ptr<Platform> backend) {
    installed() = std::move(backend);
}

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion) {
    current().getShareableContent(excludeDesktopWindows, onScreenWindowsOnly,
                                  std::move(completion));
}

std::optional<DisplayMode> copyDisplayMode(DisplayID display) {
    return current().copyDisplayMode(display);
}

Rect displayBounds(DisplayID display) {
    return current().displayBounds(display);
}

DisplayID mainDisplayID() {
    return current().mainDisplayID();
}

bool displayIsMain(DisplayID display) {
    return current().displayIsMain(display);
}

std::optional<DisplayID> displayWithPoint(Point point) {
    return current().displayWithPoint(point);
}

WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) {
    return current().copyWindowInfo(options, relativeToWindow);
}

void captureImage(std::shared_ptr<const ContentFilter> filter,
                  std::shared_ptr<const StreamConfiguration> configuration,
                  ImageCompletion completion) {
    current().captureImage(std::move(filter), std::move(configuration), std::move(completion));
}

std::optional<Bytes> encodePNG(const Image& image) {
    return current().encodePNG(image);
}

std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                     std::shared_ptr<const StreamConfiguration> configuration,
                                     std::shared_ptr<StreamDelegate> delegate) {
    return current().createStream(std::move(filter), std::move(configuration), std::move(delegate));
}

} // namespace lumatap::platform
