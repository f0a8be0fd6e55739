// Still images of a monitor or a window.
#include "capture/platform.h"
#include "capture/png/png_encoder.h"
#include "capture/x11/connection.h"

namespace lumatap::platform {

void captureImage(std::shared_ptr<const ContentFilter>, std::shared_ptr<const StreamConfiguration>,
                  ImageCompletion completion) {
    completion(nullptr,
               makeError(std::string(x11::errorDomain), 1, "still capture is not available yet"));
}

std::optional<Bytes> encodePNG(const Image& image) {
    return encodePNGWithLibpng(image);
}

} // namespace lumatap::platform
