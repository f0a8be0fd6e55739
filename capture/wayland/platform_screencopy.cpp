// Displays are the compositor's outputs, numbered from their names as on the ext- path, so
// an output keeps its id when the compositor is upgraded. Windows are not this platform's:
// it lists none and captures none.
//
// The connection serves one request at a time: every call takes the platform's lock.
#include "capture/wayland/platform_screencopy.h"

#include "capture/media/png_encoder.h"
#include "capture/media/scale.h"
#include "capture/media/screen_stream.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/screencopy.h"
#include "capture/wayland/stream_screencopy.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace lumatap::wayland {
namespace {

// No real picture comes near this; a configuration that does would only exhaust memory.
constexpr std::int64_t largestSide = 1 << 15;

ErrorPtr failure(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

class ScreencopyPlatform : public Platform {
  public:
    explicit ScreencopyPlatform(std::unique_ptr<Connection> connection)
        : connection_(std::move(connection)) {}

    void getShareableContent(bool, bool, platform::ContentCompletion completion) override {
        std::unique_lock lock(mutex_);
        ErrorPtr error;
        std::shared_ptr<ShareableContent> content;
        // Outputs plugged in or out since the start are known after a roundtrip.
        if (connection_->roundtrip(error)) {
            content = std::make_shared<ShareableContent>();
            for (const auto& o : connection_->outputs()) {
                if (!o->removed && o->id != 0) {
                    content->displays.push_back(std::make_shared<const Display>(Display{o->id}));
                }
            }
        }
        lock.unlock();
        completion(std::move(content), std::move(error));
    }

    std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) override {
        std::lock_guard lock(mutex_);
        const Output* output = connection_->outputWithID(display);
        if (!output) {
            return std::nullopt;
        }
        return platform::DisplayMode{static_cast<std::size_t>(std::max(0, output->pixelWidth())),
                                     static_cast<std::size_t>(std::max(0, output->pixelHeight()))};
    }

    Rect displayBounds(DisplayID display) override {
        std::lock_guard lock(mutex_);
        const Output* output = connection_->outputWithID(display);
        return output ? output->logical : Rect{};
    }

    DisplayID mainDisplayID() override {
        std::lock_guard lock(mutex_);
        const Output* output = mainOutput();
        return output ? output->id : 0;
    }

    bool displayIsMain(DisplayID display) override {
        std::lock_guard lock(mutex_);
        const Output* output = mainOutput();
        return output && output->id == display;
    }

    std::optional<DisplayID> displayWithPoint(Point p) override {
        std::lock_guard lock(mutex_);
        for (const auto& o : connection_->outputs()) {
            const Rect& r = o->logical;
            if (!o->removed && p.x >= r.x && p.x < r.x + r.width && p.y >= r.y &&
                p.y < r.y + r.height) {
                return o->id;
            }
        }
        return std::nullopt;
    }

    WindowList copyWindowInfo(std::uint32_t, WindowID) override {
        return std::vector<WindowInfo>{};
    }

    void captureImage(std::shared_ptr<const ContentFilter> filter,
                      std::shared_ptr<const StreamConfiguration> configuration,
                      platform::ImageCompletion completion) override {
        std::unique_lock lock(mutex_);
        ErrorPtr error;
        std::shared_ptr<const Image> image;
        try {
            image = capture(filter.get(), configuration.get(), error);
        } catch (const std::bad_alloc&) {
            image.reset();
            error = failure(captureFailed, "out of memory");
        }
        lock.unlock();
        completion(std::move(image), std::move(error));
    }

    std::optional<Bytes> encodePNG(const Image& image) override {
        return media::encodePNGWithLibpng(image);
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
    // The first output, which the protocols give no way to tell from the others.
    const Output* mainOutput() const {
        for (const auto& o : connection_->outputs()) {
            if (!o->removed) {
                return o.get();
            }
        }
        return nullptr;
    }

    std::shared_ptr<const Image> capture(const ContentFilter* filter,
                                         const StreamConfiguration* configuration,
                                         ErrorPtr& error) {
        if (!filter || !filter->display || filter->window) {
            error = failure(captureFailed, "the filter names nothing to capture");
            return nullptr;
        }
        const Output* output = connection_->outputWithID(filter->display->displayID);
        if (!output) {
            error = failure(sourceStopped, "the display no longer exists");
            return nullptr;
        }
        Screencopy copy(*connection_, *output,
                        configuration && configuration->showsCursor.value_or(true));
        if (!copy.next(Clock::now() + connection_->timeout(), error)) {
            return nullptr;
        }
        const Image& picture = copy.picture();
        auto width = static_cast<std::int64_t>(picture.width);
        auto height = static_cast<std::int64_t>(picture.height);
        if (configuration) {
            width = configuration->width.value_or(width);
            height = configuration->height.value_or(height);
        }
        if (width < 1 || height < 1 || width > largestSide || height > largestSide) {
            error = failure(captureFailed, "the picture size " + std::to_string(width) + "x" +
                                               std::to_string(height) + " is not possible");
            return nullptr;
        }
        if (picture.width == 0 || picture.height == 0) {
            error = failure(captureFailed, "the frame is empty");
            return nullptr;
        }
        auto image = std::make_shared<Image>();
        image->width = static_cast<std::size_t>(width);
        image->height = static_cast<std::size_t>(height);
        image->bytesPerRow = image->width * 4;
        image->pixels.resize(image->bytesPerRow * image->height);
        media::Scaler scaler(picture.width, picture.height, image->width, image->height);
        scaler.scale({picture.pixels.data(), picture.width, picture.height, picture.bytesPerRow},
                     image->pixels.data(), image->bytesPerRow);
        return image;
    }

    std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
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
