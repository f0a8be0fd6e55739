#include "capture/target.h"

#include "capture/failure.h"
#include "capture/geometry.h"
#include "capture/shareable.h"
#include "channels/messages.h"
#include "channels/output.h"

namespace lumatap {

Target target(std::string_view kind, std::uint32_t id) {
    // Windows that are not on screen must be found too, so they can still be captured.
    auto content = shareable(false);
    if (kind == "display") {
        for (const auto& display : content->displays) {
            if (display->displayID == id) {
                return {filterWithDisplay(display, {}), displayPixels(id)};
            }
        }
        fail(noSuchScreenLine, statusFailure);
    }
    if (content->windowsError) {
        failWith(content->windowsError);
    }
    for (const auto& window : content->windows) {
        if (window->windowID == id) {
            return {filterWithDesktopIndependentWindow(window), windowPixels(*window)};
        }
    }
    fail(noSuchWindowLine, statusGone);
}

bool windowExists(WindowID id) {
    auto answer = platform::copyWindowInfo(windowListIncludingWindow, id);
    return answer && !answer->empty();
}

} // namespace lumatap
