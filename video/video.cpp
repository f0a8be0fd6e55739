#include "video/video.h"

#include "capture/completion.h"
#include "capture/stream_output.h"
#include "capture/target.h"
#include "video/pacer.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace lumatap {
namespace {

// Lets a pipe on standard output take a whole frame at once, within what the system allows
// an ordinary user. In the default 64 KiB a frame goes over in dozens of pieces, each a
// wake-up of the writer and the reader. The bytes and their order stay the same; a failure
// leaves the pipe as it was.
void widenPipe(std::size_t frame) {
    struct stat out {};
    if (fstat(STDOUT_FILENO, &out) != 0 || !S_ISFIFO(out.st_mode)) {
        return;
    }
    std::size_t most = 0;
    if (!(std::ifstream("/proc/sys/fs/pipe-max-size") >> most)) {
        most = std::size_t{1} << 20;
    }
    const int now = fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
    const auto wanted = static_cast<int>(std::min({frame, most, std::size_t{1} << 30}));
    if (now >= 0 && now < wanted) {
        (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, wanted);
    }
}

} // namespace

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
    widenPipe(static_cast<std::size_t>(width * height * 3 / 2));
    auto stream = platform::createStream(filter, configuration, pacer);
    addOutput(*stream, pacer, OutputType::screen, "frames");
    awaitCompletion([&](std::function<void(ErrorPtr)> completion) {
        stream->startCapture(std::move(completion));
    });
    pacer->run();
}

} // namespace lumatap
