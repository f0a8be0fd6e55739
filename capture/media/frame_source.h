// What a desktop gives the one screen stream: the pictures of one display or window, told as
// changes. A desktop is then an inventory plus a frame source; the stream does the rest (the
// pool, the frame composer, the pointer, idle frames, pacing and the delegate's calls).
#pragma once

#include "capture/media/scale.h"
#include "capture/media/yuv.h"
#include "capture/platform.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumatap::media {

using Clock = std::chrono::steady_clock;

// The pointer to draw over the picture: its image (premultiplied ARGB, one 32-bit word a pixel,
// `width` a row) with its top-left corner at (left, top) in source pixels.
struct PointerImage {
    const std::uint32_t* argb = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;
    std::int64_t left = 0;
    std::int64_t top = 0;
};

// What changed in a source since its previous report.
struct Changes {
    // The source's size now; 0 by 0 while it has nothing to show (a window unmapped or off the
    // screen), and then all of it is read again once it is back.
    std::size_t width = 0;
    std::size_t height = 0;
    // Every pixel is to be read again: the first report, a source that moved or came back, or
    // changes the source lost count of.
    bool whole = false;
    // What was drawn, in source pixels.
    std::vector<Area> damage;
    // The pointer to draw, if the stream draws it: none when it is hidden, drawn by the
    // desktop itself, or unknown. Valid until the next report.
    std::optional<PointerImage> pointer;
    // The pointer's image is new, though its box may be where it was.
    bool pointerChanged = false;
};

// A source belongs to the stream's capture thread: it is prepared on the starting thread, then
// used by the capture thread alone.
class FrameSource {
  public:
    virtual ~FrameSource() = default;

    // Everything that can fail before the first picture, `error` saying what did. Sets `width`
    // and `height` to the size of the source's picture now, or 0 when it has none to show yet.
    virtual bool prepare(const StreamConfiguration& configuration, std::size_t& width,
                         std::size_t& height, ErrorPtr& error) = 0;
    // Waits until the source has a change to report or `deadline` has come, whichever is first;
    // true when it has one.
    virtual bool wait(Clock::time_point deadline) = 0;
    // A change is known that the next report will give: there is no need to wait for it.
    virtual bool pending() const = 0;
    // Takes what changed since the previous report. False, with `error`, when the source has
    // ended (the window closed, the display went, the desktop's connection broke).
    virtual bool report(Changes& changes, ErrorPtr& error) = 0;
    // The source's pixels in `area` (within the size last reported), the view's first pixel
    // being the area's corner. The stream may draw on them (the pointer) until the next read
    // or report. None with `error` when the source has ended; none without when the source
    // cannot be read now or changed shape since its report (a report then tells the rest).
    virtual std::optional<BgraView> read(const Area& area, ErrorPtr& error) = 0;
    // One read of the box around several areas costs less than a read of each.
    virtual bool readsOnce() const { return false; }
};

} // namespace lumatap::media
