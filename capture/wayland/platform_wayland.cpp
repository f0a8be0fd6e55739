// Displays are the compositor's outputs, named by their registry names; windows are its
// foreign toplevels, numbered through the map that every run shares. The protocols give a
// toplevel no place on the desktop and no stacking order: a window is put at the main
// display's origin (so its size in pixels is worked out with that display's scale), and the
// list keeps the compositor's order.
//
// The connection serves one request at a time: every call takes the platform's lock.
#include "capture/wayland/platform_wayland.h"

#include "capture/media/scale.h"
#include "capture/media/screen_stream.h"
#include "capture/session/processes.h"
#include "capture/session/window_ids.h"
#include "capture/wayland/capture.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/output_platform.h"
#include "capture/wayland/stream_wayland.h"
#include "capture/wayland/sway_ipc.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace lumatap::wayland {
namespace {

// The owner of a window whose process the compositor does not tell: no process of this
// machine, and so neither the host nor the tool, is ever this.
constexpr ProcessID unknownProcess = -1;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

class WaylandPlatform : public OutputPlatform {
  public:
    WaylandPlatform(std::unique_ptr<Connection> connection, std::string idsPath)
        : OutputPlatform(std::move(connection)), idsPath_(std::move(idsPath)),
          swaySocket_(environment("SWAYSOCK")) {}

    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        std::vector<WindowInfo> answer;
        // No stacking order is exposed: an empty list leaves every window unranked, in the
        // order the snapshot gave.
        if (!(options & windowListIncludingWindow)) {
            return answer;
        }
        std::lock_guard lock(mutex_);
        ErrorPtr error;
        // A compositor that can no longer be asked has not shown the window gone: its loss is
        // what the capture reports, not a closed window.
        if (!connection_->roundtrip(error) || toplevel(relativeToWindow)) {
            answer.push_back({{std::string(windowNumberKey), std::int64_t{relativeToWindow}}});
        }
        return answer;
    }

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        if (filter && filter->display && !filter->window) {
            return createScreenStream(filter->display->displayID, std::move(configuration),
                                      std::move(delegate));
        }
        std::string identifier;
        if (filter && filter->window) {
            std::lock_guard lock(mutex_);
            auto found = identifiers_.find(filter->window->windowID);
            if (found != identifiers_.end()) {
                identifier = found->second;
            }
        }
        if (identifier.empty()) {
            return std::make_shared<media::RefusedStream>(makeError(
                std::string(errorDomain), sourceStopped, "the filter names nothing to capture"));
        }
        return createScreenStream(std::move(identifier), std::move(configuration),
                                  std::move(delegate));
    }

  private:
    // The live toplevel that `window` numbers, as the last snapshot numbered them.
    const Toplevel* toplevel(WindowID window) const {
        auto identifier = identifiers_.find(window);
        if (identifier == identifiers_.end()) {
            return nullptr;
        }
        for (const auto& t : connection_->toplevels()) {
            if (!t->closed && t->identifier == identifier->second) {
                return t.get();
            }
        }
        return nullptr;
    }

    // Brings the toplevels up to date and numbers them, under the map's lock so that no other
    // run prunes an identifier this one is about to hand out.
    bool number(ErrorPtr& error) {
        auto ids = session::WindowIds::lock(idsPath_, error);
        if (!ids || !connection_->roundtrip(error)) {
            return false;
        }
        std::vector<std::string> live;
        for (const auto& t : connection_->toplevels()) {
            if (!t->closed) {
                live.push_back(t->identifier);
            }
        }
        if (!ids->assign(live, numbers_, error)) {
            numbers_.clear();
            identifiers_.clear();
            return false;
        }
        identifiers_.clear();
        for (const auto& [identifier, id] : numbers_) {
            identifiers_[id] = identifier;
        }
        return true;
    }

    std::shared_ptr<const ShareableContent> snapshot(ErrorPtr& error) override {
        if (!number(error)) {
            return nullptr;
        }
        auto content = std::make_shared<ShareableContent>();
        for (const auto& o : connection_->outputs()) {
            if (!o->removed) {
                content->displays.push_back(std::make_shared<const Display>(Display{o->id}));
            }
        }
        // Window sizes come in pixels; frames are in the points of the display they are put on.
        Rect origin;
        double factor = 1;
        if (const Output* main = mainOutput()) {
            origin = main->logical;
            factor = main->pixelWidth() / std::max(main->logical.width, 1.0);
        }
        std::optional<std::map<std::string, SwayWindow>> sway;
        if (!swaySocket_.empty()) {
            sway = swayWindows(swaySocket_);
        }
        session::Applications applications(*content);
        for (const auto& t : connection_->toplevels()) {
            if (t->closed) {
                continue;
            }
            auto id = numbers_.find(t->identifier);
            if (id == numbers_.end()) {
                continue;
            }
            // The session's buffer size is the only size the protocol gives a toplevel. One
            // closed meanwhile is left out; any other failure (the compositor gone, or not
            // answering) ends the listing, which would otherwise pass for the whole truth.
            ErrorPtr sessionError;
            auto session = CaptureSession::ofToplevel(*connection_, *t, false, sessionError);
            if (!session) {
                if (sessionError && sessionError->code == sourceStopped) {
                    continue;
                }
                error = sessionError;
                return nullptr;
            }
            auto window = std::make_shared<Window>();
            window->windowID = id->second;
            window->title = t->title;
            window->frame = {origin.x, origin.y, session->width() / factor,
                             session->height() / factor};
            window->windowLayer = 0;
            window->isOnScreen = true;
            ProcessID pid = unknownProcess;
            std::string name = t->appId;
            if (sway) {
                auto found = sway->find(t->identifier);
                if (found != sway->end()) {
                    pid = found->second.pid.value_or(unknownProcess);
                    // sway gives an X program's window no app id; its class is what names the
                    // program, as on an X desktop.
                    if (name.empty()) {
                        name = found->second.windowClass;
                    }
                }
            }
            window->owningApplication = std::make_shared<const RunningApplication>(
                RunningApplication{pid, std::move(name)});
            applications.owner(pid == unknownProcess ? std::nullopt : std::optional(pid),
                               window->owningApplication);
            content->windows.push_back(std::move(window));
        }
        // A compositor that went away during the listing may have taken windows with it that
        // were never asked about: only an answer after the last question vouches for the rest.
        if (!connection_->roundtrip(error)) {
            return nullptr;
        }
        applications.addSessionProcesses();
        return content;
    }

    std::unique_ptr<CaptureSession> session(const ContentFilter& filter, bool cursor,
                                            ErrorPtr& error) {
        if (filter.window) {
            const Toplevel* t =
                connection_->roundtrip(error) ? toplevel(filter.window->windowID) : nullptr;
            if (!t) {
                if (!error) {
                    error = makeError(std::string(errorDomain), sourceStopped,
                                      "the window no longer exists");
                }
                return nullptr;
            }
            return CaptureSession::ofToplevel(*connection_, *t, cursor, error);
        }
        if (filter.display) {
            const Output* output = live(filter.display->displayID);
            if (!output) {
                error = makeError(std::string(errorDomain), sourceStopped,
                                  "the display no longer exists");
                return nullptr;
            }
            return CaptureSession::ofOutput(*connection_, *output, cursor, error);
        }
        error = makeError(std::string(errorDomain), captureFailed,
                          "the filter names nothing to capture");
        return nullptr;
    }

    std::shared_ptr<const Image> capture(const ContentFilter* filter,
                                         const StreamConfiguration* configuration,
                                         ErrorPtr& error) {
        if (!filter) {
            error = makeError(std::string(errorDomain), captureFailed, "no filter to capture");
            return nullptr;
        }
        bool cursor = configuration && configuration->showsCursor.value_or(true);
        auto source = session(*filter, cursor, error);
        if (!source) {
            return nullptr;
        }
        auto frame = source->nextFrame(Clock::now() + connection_->timeout(), error);
        if (!frame) {
            return nullptr;
        }
        return stillOf(frame->image, configuration, error);
    }

    std::string idsPath_;
    std::string swaySocket_;
    // As the last snapshot numbered them, both ways.
    std::map<std::string, WindowID> numbers_;
    std::map<WindowID, std::string> identifiers_;
};

} // namespace

std::unique_ptr<Platform> createPlatform(ErrorPtr& error) {
    std::string problem;
    auto runtime = session::WindowIds::runtimeDir(problem);
    if (!runtime) {
        error = makeError(std::string(errorDomain), noCompositor, problem);
        return nullptr;
    }
    auto connection = Connection::open(error);
    if (!connection || !connection->offersExtCapture(error)) {
        return nullptr;
    }
    std::string path = session::WindowIds::pathFor(*runtime, connection->name());
    return std::make_unique<WaylandPlatform>(std::move(connection), std::move(path));
}

} // namespace lumatap::wayland
