// Displays are the compositor's outputs, numbered from their names as on the ext- path, so
// an output keeps its id when the compositor is upgraded. Windows are not this platform's:
// it lists none and captures none.
//
// The connection serves one request at a time: every call takes the platform's lock.
#include "capture/wayland/platform_screencopy.h"

#include "capture/media/scale.h"
#include "capture/media/screen_stream.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/output_platform.h"
#include "capture/wayland/screencopy.h"
#include "capture/wayland/stream_screencopy.h"

#include <algorithm>
#include <mutex>

namespace lumatap::wayland {
namespace {

ErrorPtr failure(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

class ScreencopyPlatform : public OutputPlatform {
  public:
    explicit ScreencopyPlatform(std::unique_ptr<Connection> connection)
        : OutputPlatform(std::move(connection)) {}

    WindowList copyWindowInfo(std::uint32_t, WindowID) override {
        return std::vector<WindowInfo>{};
    }

    std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                         std::shared_ptr<const StreamConfiguration> configuration,
                                         std::shared_ptr<StreamDelegate> delegate) override {
        if (filter && filter->display && !filter->window) {
            return createScreencopyStream(filter->display->displayID, std::move(configuration),
                                          std::move(delegate));
        }
        return std::make_shared<media::RefusedStream>(
            failure(sourceStopped, "the compositor's windows cannot be captured"));
    }

  private:
    std::shared_ptr<const ShareableContent> snapshot(ErrorPtr& error) override {
        // Outputs plugged in or out since the start are known after a roundtrip.
        if (!connection_->roundtrip(error)) {
            return nullptr;
        }
        auto content = std::make_shared<ShareableContent>();
        for (const auto& o : connection_->outputs()) {
            if (!o->removed && o->id != 0) {
                content->displays.push_back(std::make_shared<const Display>(Display{o->id}));
            }
        }
        return content;
    }

    std::shared_ptr<const Image> capture(const ContentFilter* filter,
                                         const StreamConfiguration* configuration,
                                         ErrorPtr& error) override {
        if (!filter || !filter->display || filter->window) {
            error = failure(captureFailed, "the filter names nothing to capture");
            return nullptr;
        }
        const Output* output = live(filter->display->displayID);
        if (!output) {
            error = failure(sourceStopped, "the display no longer exists");
            return nullptr;
        }
        Screencopy copy(*connection_, *output,
                        configuration && configuration->showsCursor.value_or(true));
        if (!copy.next(Clock::now() + connection_->timeout(), error)) {
            return nullptr;
        }
        return stillOf(copy.picture(), configuration, error);
    }
};

} // namespace

std::unique_ptr<Platform> createScreencopyPlatform(ErrorPtr& error) {
    auto connection = Connection::open(error);
    if (!connection || !connection->offersScreencopy(error)) {
        return nullptr;
    }
    return std::make_unique<ScreencopyPlatform>(std::move(connection));
}

} // namespace lumatap::wayland
