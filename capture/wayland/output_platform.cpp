#include "capture/wayland/output_platform.h"

#include "capture/media/picture_size.h"
#include "capture/media/png_encoder.h"

#include <algorithm>
#include <new>

namespace lumatap::wayland {

OutputPlatform::OutputPlatform(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {
}

std::optional<platform::DisplayMode> OutputPlatform::copyDisplayMode(DisplayID display) {
    std::lock_guard lock(mutex_);
    const Output* output = live(display);
    if (!output) {
        return std::nullopt;
    }
    return platform::DisplayMode{static_cast<std::size_t>(std::max(0, output->pixelWidth())),
                                 static_cast<std::size_t>(std::max(0, output->pixelHeight()))};
}

Rect OutputPlatform::displayBounds(DisplayID display) {
    std::lock_guard lock(mutex_);
    const Output* output = live(display);
    return output ? output->logical : Rect{};
}

DisplayID OutputPlatform::mainDisplayID() {
    std::lock_guard lock(mutex_);
    const Output* output = mainOutput();
    return output ? output->id : 0;
}

bool OutputPlatform::displayIsMain(DisplayID display) {
    std::lock_guard lock(mutex_);
    const Output* output = mainOutput();
    return output && output->id == display;
}

std::optional<DisplayID> OutputPlatform::displayWithPoint(Point p) {
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

void OutputPlatform::getShareableContent(bool, bool, platform::ContentCompletion completion) {
    std::unique_lock lock(mutex_);
    ErrorPtr error;
    auto content = snapshot(error);
    lock.unlock();
    completion(std::move(content), std::move(error));
}

void OutputPlatform::captureImage(std::shared_ptr<const ContentFilter> filter,
                                  std::shared_ptr<const StreamConfiguration> configuration,
                                  platform::ImageCompletion completion) {
    std::unique_lock lock(mutex_);
    ErrorPtr error;
    std::shared_ptr<const Image> image;
    try {
        image = capture(filter.get(), configuration.get(), error);
    } catch (const std::bad_alloc&) {
        image.reset();
        error = makeError(std::string(errorDomain), captureFailed, "out of memory");
    }
    lock.unlock();
    completion(std::move(image), std::move(error));
}

std::optional<Bytes> OutputPlatform::encodePNG(const Image& image) {
    return media::encodePNGWithLibpng(image);
}

const Output* OutputPlatform::live(DisplayID display) const {
    const Output* output = connection_->outputWithID(display);
    return output && !output->removed ? output : nullptr;
}

const Output* OutputPlatform::mainOutput() const {
    for (const auto& o : connection_->outputs()) {
        if (!o->removed) {
            return o.get();
        }
    }
    return nullptr;
}

std::shared_ptr<const Image> OutputPlatform::stillOf(const Image& picture,
                                                     const StreamConfiguration* configuration,
                                                     ErrorPtr& error) {
    std::string problem;
    auto size = media::stillSize(configuration, picture.width, picture.height, problem);
    if (!size) {
        error = makeError(std::string(errorDomain), captureFailed, std::move(problem));
        return nullptr;
    }
    if (picture.width == 0 || picture.height == 0) {
        error = makeError(std::string(errorDomain), captureFailed, "the frame is empty");
        return nullptr;
    }
    return media::scaledImage(
        {picture.pixels.data(), picture.width, picture.height, picture.bytesPerRow}, *size);
}

} // namespace lumatap::wayland
