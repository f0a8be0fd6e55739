// Displays are KWin's outputs, numbered from their names as on every Wayland desktop. Windows
// are the ones KWin's script lists, numbered from KWin's uuids through the map that every run
// shares; the script gives their place, size without the shadow, process and stacking, so the
// list's usual rules apply as on X11. Pictures come from KWin's screencasts, each stream with
// a Wayland connection of its own, since the stream outlives the request that made it.
//
// The platform's connection and bus serve one request at a time: every call takes its lock.
#include "capture/linux/kde_desktop.h"

#include "capture/kde/kwin.h"
#include "capture/linux/kde_pictures.h"
#include "capture/media/screen_stream.h"
#include "capture/session/processes.h"
#include "capture/session/window_ids.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/output_platform.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace lumatap::platform {
namespace {

// The owner of a window whose process KWin does not know: no process of this machine, and so
// neither the host nor the tool, is ever this.
constexpr ProcessID unknownProcess = -1;
// The layer of windows that are not an application's own (panels, popups, KWin's own).
constexpr std::int64_t otherLayer = 1;

struct Listed {
    kde::KWinWindow window;
    WindowID id = 0;
};

class KdeDesktop : public wayland::OutputPlatform {
  public:
    KdeDesktop(std::unique_ptr<wayland::Connection> connection, std::unique_ptr<kde::KWin> kwin,
               std::string idsPath)
        : OutputPlatform(std::move(connection)), kwin_(std::move(kwin)),
          idsPath_(std::move(idsPath)) {}

    WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override {
        std::lock_guard lock(mutex_);
        std::vector<WindowInfo> answer;
        auto entry = [](WindowID id) {
            return WindowInfo{{std::string(windowNumberKey), std::int64_t{id}}};
        };
        if (options & windowListIncludingWindow) {
            // Asked again each time (a stream asks once a second): this is how it learns that
            // its window closed. Only KWin is asked, the shared map is left alone. A KWin that
            // cannot be asked has not shown the window gone: its loss is for the capture to
            // report, not a closed window.
            ErrorPtr error;
            if (!listed_ && !refresh(error)) {
                answer.push_back(entry(relativeToWindow));
                return answer;
            }
            const Listed* known = find(relativeToWindow);
            if (!known) {
                return answer;
            }
            auto now = kwin_->windows(error);
            bool there = !now || std::any_of(now->begin(), now->end(), [&](const auto& w) {
                return w.uuid == known->window.uuid;
            });
            if (there) {
                answer.push_back(entry(relativeToWindow));
            }
            return answer;
        }
        // The stacking of the listing just made, when there is one; the script's list is
        // bottom first.
        ErrorPtr error;
        if (!listed_ && !refresh(error)) {
            return std::nullopt;
        }
        for (auto w = windows_.rbegin(); w != windows_.rend(); ++w) {
            if (visible(w->window)) {
                answer.push_back(entry(w->id));
            }
        }
        return answer;
    }

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        ErrorPtr error;
        std::unique_lock lock(mutex_);
        auto what = subject(filter.get(), error);
        lock.unlock();
        if (!what) {
            return std::make_shared<media::RefusedStream>(error);
        }
        return kdeStream(*what, std::move(configuration), std::move(delegate));
    }

  private:
    std::shared_ptr<const Image> capture(const ContentFilter* filter,
                                         const StreamConfiguration* configuration,
                                         ErrorPtr& error) override {
        auto what = subject(filter, error);
        if (!what) {
            return nullptr;
        }
        return kdeStill(*what, configuration, error);
    }

    static bool visible(const kde::KWinWindow& w) {
        return w.onCurrentDesktop && !w.minimized && !w.hidden;
    }

    const Listed* find(WindowID id) const {
        for (const Listed& l : windows_) {
            if (l.id == id) {
                return &l;
            }
        }
        return nullptr;
    }

    // Asks KWin for its windows and numbers them, under the map's lock so that no other run
    // prunes a uuid this one is about to hand out.
    bool refresh(ErrorPtr& error) {
        auto ids = session::WindowIds::lock(idsPath_, error);
        if (!ids) {
            return false;
        }
        auto windows = kwin_->windows(error);
        if (!windows) {
            return false;
        }
        std::vector<std::string> live;
        for (const auto& w : *windows) {
            live.push_back(w.uuid);
        }
        std::map<std::string, WindowID> numbers;
        if (!ids->assign(live, numbers, error)) {
            return false;
        }
        windows_.clear();
        for (auto& w : *windows) {
            auto number = numbers.find(w.uuid);
            if (number != numbers.end()) {
                windows_.push_back({std::move(w), number->second});
            }
        }
        listed_ = true;
        return true;
    }

    std::shared_ptr<const ShareableContent> snapshot(ErrorPtr& error) override {
        // Outputs plugged in or out since the start are known after a roundtrip.
        if (!connection_->roundtrip(error) || !refresh(error)) {
            return nullptr;
        }
        auto content = std::make_shared<ShareableContent>();
        for (const auto& o : connection_->outputs()) {
            if (!o->removed && o->id != 0) {
                content->displays.push_back(std::make_shared<const Display>(Display{o->id}));
            }
        }
        session::Applications applications(*content);
        // Front first, as the window server's own lists come.
        for (auto l = windows_.rbegin(); l != windows_.rend(); ++l) {
            const kde::KWinWindow& w = l->window;
            auto window = std::make_shared<Window>();
            window->windowID = l->id;
            window->title = w.title;
            window->frame = w.frame;
            window->windowLayer = w.normal ? 0 : otherLayer;
            window->isOnScreen = visible(w);
            ProcessID pid = w.pid > 0 ? w.pid : unknownProcess;
            // The desktop file names the program as its menus do; a program without one is
            // known by its class, as on an X desktop.
            window->owningApplication = std::make_shared<const RunningApplication>(
                RunningApplication{pid, w.desktopFile.empty() ? w.resourceClass : w.desktopFile});
            applications.owner(pid == unknownProcess ? std::nullopt : std::optional(pid),
                               window->owningApplication);
            content->windows.push_back(std::move(window));
        }
        applications.addSessionProcesses();
        return content;
    }

    // What a filter names, as a stream of its own connection will ask KWin for it. Called
    // with the lock held.
    std::optional<KdeSubject> subject(const ContentFilter* filter, ErrorPtr& error) {
        if (filter && filter->window) {
            // The window as the last listing numbered it; a listing is made if none was.
            if (!listed_ && !refresh(error)) {
                return std::nullopt;
            }
            if (const Listed* l = find(filter->window->windowID)) {
                return KdeSubject{l->window.uuid, 0};
            }
            error = makeError(std::string(wayland::errorDomain), wayland::sourceStopped,
                              "the window no longer exists");
            return std::nullopt;
        }
        if (filter && filter->display) {
            if (!live(filter->display->displayID)) {
                error = makeError(std::string(wayland::errorDomain), wayland::sourceStopped,
                                  "the display no longer exists");
                return std::nullopt;
            }
            return KdeSubject{{}, filter->display->displayID};
        }
        error = makeError(std::string(wayland::errorDomain), wayland::captureFailed,
                          "the filter names nothing to capture");
        return std::nullopt;
    }

    std::unique_ptr<kde::KWin> kwin_;
    std::string idsPath_;
    // As the last listing gave them, bottom of the stack first.
    std::vector<Listed> windows_;
    bool listed_ = false;
};

} // namespace

std::unique_ptr<Platform> createKdeDesktop(ErrorPtr& error) {
    std::string problem;
    auto runtime = session::WindowIds::runtimeDir(problem);
    if (!runtime) {
        error = makeError(std::string(wayland::errorDomain), wayland::noCompositor, problem);
        return nullptr;
    }
    auto kwin = kde::KWin::connect(error);
    if (!kwin) {
        return nullptr;
    }
    auto connection = wayland::Connection::open(error);
    if (!connection) {
        return nullptr;
    }
    std::string path = session::WindowIds::pathFor(*runtime, connection->name());
    return std::make_unique<KdeDesktop>(std::move(connection), std::move(kwin), std::move(path));
}

} // namespace lumatap::platform
