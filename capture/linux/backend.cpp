// The platform of the desktop this process runs on, chosen once at start: a wlroots
// compositor that offers the capture protocols serves its native and Xwayland windows alike;
// KWin (KDE Plasma) serves through its session bus and its screencasts; GNOME casts its
// monitors and windows through Mutter's ScreenCast; an older wlroots compositor serves its
// outputs through wlr-screencopy, beside the X programs' windows of its Xwayland; anywhere
// else X11 serves X desktops and, through Xwayland, the X programs of a Wayland session. The
// sound server is put beside whichever desktop serves.
#include "capture/gnome/platform_gnome.h"
#include "capture/kde/kwin.h"
#include "capture/linux/kde_desktop.h"
#include "capture/linux/with_sound.h"
#include "capture/linux/xwayland_windows.h"
#include "capture/media/screen_stream.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/platform_screencopy.h"
#include "capture/wayland/platform_wayland.h"
#include "capture/x11/platform_x11.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

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

// Why a desktop backend does not serve this session: the environment variable that would name
// its desktop is not set, the desktop named is not its kind (said by the others), or what went
// wrong with the desktop it names.
struct Unset {
    std::string variable;
};
struct Other {};
struct Refused {
    std::string reason;
};
// The desktop is there, but the connection to it broke: that is what happened, not a missing
// desktop, and no other backend is asked.
struct Broken {
    ErrorPtr error;
};
using Answer = std::variant<std::unique_ptr<Platform>, Unset, Other, Refused, Broken>;

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

Answer wlrootsDesktop() {
    if (!set("WAYLAND_DISPLAY")) {
        return Unset{"WAYLAND_DISPLAY"};
    }
    ErrorPtr error;
    if (auto platform = wayland::createPlatform(error)) {
        return platform;
    }
    if (error && error->domain == wayland::errorDomain && error->code == wayland::connectionLost) {
        return Broken{error};
    }
    return Refused{error ? error->description : "the Wayland compositor cannot be captured"};
}

// KWin, on a session bus beside the compositor, lists its windows to a script it runs and
// streams pictures into PipeWire; a session without KWin on its bus is some other desktop's.
Answer kdeDesktop() {
    if (!set("WAYLAND_DISPLAY")) {
        return Unset{"WAYLAND_DISPLAY"};
    }
    ErrorPtr error;
    if (auto platform = createKdeDesktop(error)) {
        return platform;
    }
    if (error && error->domain == kde::errorDomain && error->code == kde::noKWin) {
        return Other{};
    }
    if (error && error->domain == wayland::errorDomain && error->code == wayland::connectionLost) {
        return Broken{error};
    }
    return Refused{error ? error->description : "KWin cannot be captured"};
}

// GNOME (and niri, which serves the same interfaces) casts through the session bus: asked only
// where the compositor lacks the ext capture protocols, which serve better where they exist.
Answer gnomeDesktop() {
    if (!set("WAYLAND_DISPLAY")) {
        return Unset{"WAYLAND_DISPLAY"};
    }
    ErrorPtr error;
    if (auto platform = gnome::createPlatform(error)) {
        return platform;
    }
    return Refused{error ? error->description : "the session bus offers no GNOME ScreenCast"};
}

// Native windows cannot be captured here, so only the X programs' ones are listed, through
// the session's Xwayland when it has one.
Answer screencopyDesktop() {
    if (!set("WAYLAND_DISPLAY")) {
        return Unset{"WAYLAND_DISPLAY"};
    }
    ErrorPtr error;
    auto displays = wayland::createScreencopyPlatform(error);
    if (!displays) {
        if (error && error->domain == wayland::errorDomain &&
            error->code == wayland::connectionLost) {
            return Broken{error};
        }
        return Refused{error ? error->description : "the Wayland compositor cannot be captured"};
    }
    return withXwaylandWindows(std::move(displays),
                               set("DISPLAY") ? x11::createPlatform() : nullptr);
}

Answer x11Desktop() {
    if (!set("DISPLAY")) {
        return Unset{"DISPLAY"};
    }
    return x11::createPlatform();
}

// The desktop backends, asked in this order; the first that serves the session is used. X11
// comes last: it serves whenever there is an X display, Xwayland's included.
constexpr Answer (*desktops[])() = {
    wlrootsDesktop, kdeDesktop, gnomeDesktop, screencopyDesktop, x11Desktop,
};

// One sentence of why no backend serves: the variables that are not set, from the last
// backend's back (DISPLAY first, since an X display would serve any session), then what went
// wrong with the desktops that are named.
std::string noDesktop(const std::vector<std::string>& unset,
                      const std::vector<std::string>& refused) {
    std::string text;
    for (auto variable = unset.rbegin(); variable != unset.rend(); ++variable) {
        text += variable == unset.rbegin()       ? *variable + " is not set"
                : variable == unset.rbegin() + 1 ? " and neither is " + *variable
                                                 : " nor " + *variable;
    }
    for (const std::string& reason : refused) {
        text += (text.empty() ? "" : ", and ") + reason;
    }
    return "no desktop to capture: " + text;
}

} // namespace

std::unique_ptr<Platform> forThisMachine() {
    std::vector<std::string> unset;
    std::vector<std::string> refused;
    for (auto desktop : desktops) {
        Answer answer = desktop();
        if (auto* platform = std::get_if<std::unique_ptr<Platform>>(&answer)) {
            return withSound(std::move(*platform));
        }
        if (auto* why = std::get_if<Unset>(&answer)) {
            if (std::find(unset.begin(), unset.end(), why->variable) == unset.end()) {
                unset.push_back(why->variable);
            }
        } else if (std::holds_alternative<Other>(answer)) {
            continue;
        } else if (auto* broken = std::get_if<Broken>(&answer)) {
            return std::make_unique<NoDesktop>(broken->error);
        } else if (const std::string& reason = std::get<Refused>(answer).reason;
                   std::find(refused.begin(), refused.end(), reason) == refused.end()) {
            // Both Wayland backends find the same compositor missing; it is said once.
            refused.push_back(reason);
        }
    }
    return std::make_unique<NoDesktop>(makeError("lumatap", 1, noDesktop(unset, refused)));
}

} // namespace lumatap::platform
