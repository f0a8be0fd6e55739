#include "video/video.h"

#include "capture/completion.h"
#include "capture/stream_output.h"
#include "capture/target.h"
#include "video/pacer.h"

namespace lumatap {

void video(const std::string& kind, std::uint32_t id, std::int64_t width, std::int64_t height,
           std::int64_t fps, std::int64_t idle) {
    auto filter = target(kind, id).filter;

    auto configuration = std::make_shared<StreamConfiguration>();
    configuration->width = width;
    configuration->height = height;
    // The command line refuses rates beyond a timescale's range.
    configuration->minimumFrameInterval = MediaTime{1, static_cast<std::int32_t>(fps)};
    configuration->pixelFormat = pixelFormat420v;
    configuration->colorMatrix = std::string(colorMatrixITU_R_709_2);
    configuration->colorSpaceName = std::string(colorSpaceITUR_709);
    configuration->showsCursor = true;
    configuration->scalesToFit = true;
    configuration->preservesAspectRatio = true;
    configuration->queueDepth = 6;

    // Only a kind of exactly "window" is watched for closing; other texts still name a window
    // but end through failWith when their stream stops.
    std::optional<WindowID> windowID;
    if (kind == "window") {
        windowID = id;
    }
    auto pacer = std::make_shared<Pacer>(width, height, static_cast<double>(fps),
                                         static_cast<double>(idle), windowID);
    auto stream = platform::createStream(filter, configuration, pacer);
    addOutput(*stream, pacer, OutputType::screen, "frames");
    awaitCompletion([&](std::function<void(ErrorPtr)> completion) {
        stream->startCapture(std::move(completion));
    });
    pacer->run();
}

} // namespace lumatap
