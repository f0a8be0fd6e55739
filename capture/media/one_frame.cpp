#include "capture/media/one_frame.h"

namespace lumatap::media {

std::optional<BgraView> takeOneFrame(FrameSource& source, const StreamConfiguration& configuration,
                                     Clock::time_point deadline, ErrorPtr& error) {
    std::size_t width = 0;
    std::size_t height = 0;
    if (!source.prepare(configuration, width, height, error)) {
        return std::nullopt;
    }
    for (;;) {
        Changes changes;
        if (!source.report(changes, error)) {
            return std::nullopt;
        }
        if (changes.width > 0 && changes.height > 0) {
            auto view = source.read({0, 0, changes.width, changes.height}, error);
            if (view || error) {
                return view;
            }
            // It changed shape since it reported: the next report tells how.
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            continue;
        }
        if (!source.pending() && !source.wait(deadline)) {
            return std::nullopt;
        }
    }
}

} // namespace lumatap::media
