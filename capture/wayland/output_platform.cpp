#include "capture/wayland/output_platform.h"

#include "capture/media/picture_size.h"

#include <algorithm>

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
