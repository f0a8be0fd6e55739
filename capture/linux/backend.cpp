// The platform of the desktop this process runs on, chosen once at start: a wlroots
// compositor that offers the capture protocols serves its native and Xwayland windows alike;
// anywhere else X11 serves X desktops and, through Xwayland, the X programs of a Wayland
// session.
#include "capture/media/screen_stream.h"
#include "capture/wayland/platform_wayland.h"
#include "capture/x11/platform_x11.h"

#include <cstdlib>

namespace lumatap::platform {
namespace {

// No desktop at all: every request fails with the one reason.
class NoDesktop : public Platform {
  public:
    explicit NoDesktop(ErrorPtr error) : error_(std::move(error)) {}

    void getShareableContent(bool, bool, ContentCompletion completion) override {
        completion(nullptr, error_);
    }
    std::optional<DisplayMode> copyDisplayMode(DisplayID) override { return std::nullopt; }
    Rect displayBounds(DisplayID) override { return {}; }
    DisplayID mainDisplayID() override { return 0; }
    bool displayIsMain(DisplayID) override { return false; }
    std::optional<DisplayID> displayWithPoint(Point) override { return std::nullopt; }
    WindowList copyWindowInfo(std::uint32_t, WindowID) override { return std::nullopt; }
    void captureImage(std::shared_ptr<const ContentFilter>,
                      std::shared_ptr<const StreamConfiguration>,
                      ImageCompletion completion) override {
        completion(nullptr, error_);
    }
    std::optional<Bytes> encodePNG(const Image&) override { return std::nullopt; }
    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter>,
                                         std::shared_ptr<const StreamConfiguration>,
                                         std::shared_ptr<StreamDelegate>) override {
        return std::make_shared<media::RefusedStream>(error_);
    }

  private:
    ErrorPtr error_;
};

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

std::unique_ptr<Platform> forThisMachine() {
    ErrorPtr waylandError;
    if (set("WAYLAND_DISPLAY")) {
        if (auto wayland = wayland::createPlatform(waylandError)) {
            return wayland;
        }
    }
    if (set("DISPLAY")) {
        return x11::createPlatform();
    }
    std::string reason = "no desktop to capture: DISPLAY is not set";
    reason +=
        waylandError ? ", and " + waylandError->description : " and neither is WAYLAND_DISPLAY";
    return std::make_unique<NoDesktop>(makeError("lumatap", 1, std::move(reason)));
}

} // namespace lumatap::platform
