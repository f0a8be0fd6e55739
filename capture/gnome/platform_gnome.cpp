// GNOME on Wayland: displays are Mutter's monitors, windows what lumatap's shell extension
// tells, pictures come from Mutter's ScreenCast through PipeWire. Any program of the session
// may cast; only the window list needs the extension, and without it windows are refused
// with the host's consent line while displays still work.
//
// The bus connection serves one request at a time: every call takes the platform's lock. A
// stream or a still casts on a connection of its own.
#include "capture/gnome/platform_gnome.h"

#include "capture/dbus/bus.h"
#include "capture/gnome/cast_source.h"
#include "capture/gnome/shell.h"
#include "capture/media/one_frame.h"
#include "capture/media/picture_size.h"
#include "capture/media/png_encoder.h"
#include "capture/media/scale.h"
#include "capture/media/screen_stream.h"
#include "capture/session/processes.h"
#include "capture/session/window_ids.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>

namespace lumatap::gnome {
namespace {

// Meta.WindowType values, as layers in the usual stacking of desktops: 0 for what a person
// works in, below it the desktop, above it docks, panels and whatever floats over windows.
std::int64_t layerOf(std::uint32_t type) {
    switch (type) {
    case 0: // normal
    case 3: // dialog
    case 4: // modal dialog
        return 0;
    case 1: // desktop
        return -2147483623;
    case 2: // dock
        return 20;
    case 5: // toolbar
    case 7: // utility
        return 3;
    default: // menus, tooltips, notifications, splash screens, drag icons...
        return 101;
    }
}

class GnomePlatform : public Platform {
  public:
    GnomePlatform(std::unique_ptr<dbus::Bus> bus, std::string idsPath)
        : bus_(std::move(bus)), idsPath_(std::move(idsPath)) {}

    void getShareableContent(bool, bool, platform::ContentCompletion completion) override {
        std::unique_lock lock(mutex_);
        ErrorPtr error;
        auto content = snapshot(error);
        lock.unlock();
        completion(std::move(content), std::move(error));
    }

    std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) override {
        std::lock_guard lock(mutex_);
        const Monitor* m = monitor(display);
        if (!m) {
            return std::nullopt;
        }
        return platform::DisplayMode{m->pixelWidth, m->pixelHeight};
    }

    Rect displayBounds(DisplayID display) override {
        std::lock_guard lock(mutex_);
        const Monitor* m = monitor(display);
        return m ? m->bounds : Rect{};
    }

    DisplayID mainDisplayID() override {
        std::lock_guard lock(mutex_);
        const Monitor* m = mainMonitor();
        return m ? m->id : 0;
    }

    bool displayIsMain(DisplayID display) override {
        std::lock_guard lock(mutex_);
        const Monitor* m = mainMonitor();
        return m && m->id == display;
    }

    std::optional<DisplayID> displayWithPoint(Point p) override {
        std::lock_guard lock(mutex_);
        known();
        for (const Monitor& m : monitors_) {
            const Rect& r = m.bounds;
            if (p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height) {
                return m.id;
            }
        }
        return std::nullopt;
    }

    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        std::lock_guard lock(mutex_);
        std::vector<WindowInfo> answer;
        auto entry = [](WindowID id) {
            return WindowInfo{{std::string(windowNumberKey), std::int64_t{id}}};
        };
        if (options & windowListIncludingWindow) {
            auto shellId = shellIds_.find(relativeToWindow);
            if (shellId == shellIds_.end()) {
                return answer;
            }
            ErrorPtr error;
            auto now = windows(*bus_, error);
            // A shell that can no longer be asked has not shown the window gone: its loss is
            // what the capture reports, not a closed window.
            if (!now || std::any_of(now->begin(), now->end(), [&](const ShellWindow& w) {
                    return w.id == shellId->second;
                })) {
                answer.push_back(entry(relativeToWindow));
            }
            return answer;
        }
        // The order of the last snapshot, front to back: the list asks right after it.
        for (const auto& [id, onScreen] : stacking_) {
            if (onScreen || !(options & windowListOnScreenOnly)) {
                answer.push_back(entry(id));
            }
        }
        return answer;
    }

    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      platform::ImageCompletion completion) override {
        ErrorPtr error;
        std::shared_ptr<const Image> image;
        try {
            image = capture(filter.get(), configuration.get(), error);
        } catch (const std::bad_alloc&) {
            image.reset();
            error = makeError(std::string(errorDomain), captureFailed, "out of memory");
        }
        completion(std::move(image), std::move(error));
    }

    std::optional<Bytes> encodePNG(const Image& image) override {
        return media::encodePNGWithLibpng(image);
    }

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        ErrorPtr error;
        auto target = targetOf(filter.get(), error);
        if (!target) {
            return std::make_shared<media::RefusedStream>(error);
        }
        return std::make_shared<media::ScreenStream>(
            makeCastSource(std::move(*target)), std::move(configuration), std::move(delegate),
            media::ScreenStream::Refusals{std::string(errorDomain), captureFailed, captureFailed,
                                          captureFailed, captureFailed});
    }

  private:
    // The monitors as last read, read now if never.
    const std::vector<Monitor>& known() {
        if (!read_) {
            ErrorPtr ignored;
            if (auto now = monitors(*bus_, ignored)) {
                monitors_ = std::move(*now);
                read_ = true;
            }
        }
        return monitors_;
    }

    const Monitor* monitor(DisplayID display) {
        for (const Monitor& m : known()) {
            if (m.id == display) {
                return &m;
            }
        }
        return nullptr;
    }

    const Monitor* mainMonitor() {
        const auto& all = known();
        auto primary =
            std::find_if(all.begin(), all.end(), [](const Monitor& m) { return m.primary; });
        return primary != all.end() ? &*primary : all.empty() ? nullptr : &all.front();
    }

    std::shared_ptr<const ShareableContent> snapshot(ErrorPtr& error) {
        auto now = monitors(*bus_, error);
        if (!now) {
            return nullptr;
        }
        monitors_ = std::move(*now);
        read_ = true;
        auto content = std::make_shared<ShareableContent>();
        for (const Monitor& m : monitors_) {
            content->displays.push_back(std::make_shared<const Display>(Display{m.id}));
        }
        ErrorPtr refusal;
        if (!number(refusal)) {
            if (refusal && refusal->domain == streamErrorDomain) {
                // Displays are still there to capture; only the windows are refused.
                content->windowsError = refusal;
                return content;
            }
            error = refusal;
            return nullptr;
        }
        session::Applications applications(*content);
        for (const ShellWindow& w : listed_) {
            auto id = numbers_.find(identifier(w.id));
            if (id == numbers_.end()) {
                continue;
            }
            auto window = std::make_shared<Window>();
            window->windowID = id->second;
            window->title = w.title;
            window->frame = visibleFrame(w);
            window->windowLayer = layerOf(w.type);
            window->isOnScreen = !w.minimized && w.onActiveWorkspace;
            std::optional<ProcessID> pid;
            if (w.pid > 0) {
                pid = w.pid;
            }
            window->owningApplication = std::make_shared<const RunningApplication>(
                RunningApplication{pid.value_or(-1), w.app});
            applications.owner(pid, window->owningApplication);
            content->windows.push_back(std::move(window));
        }
        applications.addSessionProcesses();
        return content;
    }

    std::string identifier(std::uint64_t shellId) const {
        return std::to_string(shell_) + ":" + std::to_string(shellId);
    }

    // Reads the extension's list and numbers it, under the map's lock so that no other run
    // prunes an identifier this one is about to hand out.
    bool number(ErrorPtr& error) {
        auto owner = windowsOwner(*bus_, error);
        if (!owner) {
            return false;
        }
        shell_ = *owner;
        auto ids = session::WindowIds::lock(idsPath_, error);
        if (!ids) {
            return false;
        }
        auto now = windows(*bus_, error);
        if (!now) {
            return false;
        }
        listed_ = std::move(*now);
        std::vector<std::string> live;
        for (const ShellWindow& w : listed_) {
            live.push_back(identifier(w.id));
        }
        if (!ids->assign(live, numbers_, error)) {
            numbers_.clear();
            shellIds_.clear();
            return false;
        }
        shellIds_.clear();
        stacking_.clear();
        for (const ShellWindow& w : listed_) {
            auto id = numbers_.find(identifier(w.id));
            if (id != numbers_.end()) {
                shellIds_[id->second] = w.id;
                stacking_.emplace_back(id->second, !w.minimized && w.onActiveWorkspace);
            }
        }
        return true;
    }

    std::optional<CastTarget> targetOf(const ContentFilter* filter, ErrorPtr& error) {
        std::lock_guard lock(mutex_);
        if (filter && filter->window) {
            auto shellId = shellIds_.find(filter->window->windowID);
            if (shellId != shellIds_.end()) {
                return shellId->second;
            }
        } else if (filter && filter->display) {
            if (const Monitor* m = monitor(filter->display->displayID)) {
                return m->connector;
            }
        }
        error = makeError(std::string(errorDomain), captureFailed,
                          "the filter names nothing to capture");
        return std::nullopt;
    }

    std::shared_ptr<const Image> capture(const ContentFilter* filter,
                                         const StreamConfiguration* configuration,
                                         ErrorPtr& error) {
        auto target = targetOf(filter, error);
        if (!target) {
            return nullptr;
        }
        // The pointer shows in no still.
        StreamConfiguration hidden;
        hidden.showsCursor = false;
        auto source = makeCastSource(std::move(*target));
        // The shell sends a first frame at once; anything else is its failure.
        auto view = media::takeOneFrame(*source, hidden, media::Clock::now() + timeout, error);
        if (!view) {
            if (!error) {
                error = makeError(std::string(errorDomain), shellFailed,
                                  "GNOME Shell sent no picture in time");
            }
            return nullptr;
        }
        std::string problem;
        auto size = media::stillSize(configuration, view->width, view->height, problem);
        if (!size) {
            error = makeError(std::string(errorDomain), captureFailed, std::move(problem));
            return nullptr;
        }
        return media::scaledImage(*view, *size);
    }

    std::mutex mutex_;
    std::unique_ptr<dbus::Bus> bus_;
    std::string idsPath_;
    std::vector<Monitor> monitors_;
    bool read_ = false;
    // The shell process whose window ids these are.
    ProcessID shell_ = 0;
    // As the last snapshot read and numbered them.
    std::vector<ShellWindow> listed_;
    std::map<std::string, WindowID> numbers_;
    std::map<WindowID, std::uint64_t> shellIds_;
    std::vector<std::pair<WindowID, bool>> stacking_;
};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

std::unique_ptr<Platform> createPlatform(ErrorPtr& error) {
    std::string problem;
    auto runtime = session::WindowIds::runtimeDir(problem);
    if (!runtime) {
        error = makeError(std::string(errorDomain), noShell, problem);
        return nullptr;
    }
    ErrorPtr cause;
    auto bus = dbus::Bus::session(cause);
    auto served = bus ? bus->hasOwner(std::string(screenCastName), timeout, cause) : std::nullopt;
    if (!served || !*served) {
        error = makeError(std::string(errorDomain), noShell,
                          "the session bus offers no GNOME ScreenCast");
        return nullptr;
    }
    std::string path =
        session::WindowIds::pathFor(*runtime, "gnome-" + environment("WAYLAND_DISPLAY"));
    return std::make_unique<GnomePlatform>(std::move(bus), std::move(path));
}

} // namespace lumatap::gnome
