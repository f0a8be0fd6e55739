// Reading pixels off the X server as 8-bit BGRA rows: a rectangle of the root window (a
// monitor), or one window's own content whatever covers it, through the Composite extension.
// Still images and capture streams share it.
//
// Reads go through a MIT-SHM segment that is kept between reads, so a stream's frames cost one
// copy in the server and none here; where shared memory is not available (a remote server, a
// server in another IPC namespace) the plain GetImage request takes its place, quietly. A
// picture can also be read in bands, handed over one by one while the server copies the next:
// the way to go for a one-off read of a large picture, whose fresh pages would otherwise cost
// more to fault in than to copy.
#pragma once

#include "capture/media/scale.h"
#include "capture/x11/connection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

// The backend reads into the shared pipeline's picture views.
using media::BgraView;

// Codes of the errors that a Grabber reports, in x11::errorDomain.
enum GrabFailure : std::int64_t {
    grabWindowGone = 101,     // the window does not exist (any more)
    grabWindowUnmapped = 102, // the window is not mapped, so it has no picture to read
    grabOffScreen = 103,      // the rectangle lies wholly outside the screen
    grabUnsupported = 104,    // a pixel format this reader does not convert
    grabRefused = 105,        // the server refused the read for another reason
    grabWaylandSession = 106, // the screen belongs to a Wayland compositor, seen through Xwayland
};

// What a capture of a whole display under Xwayland fails with (code grabWaylandSession): the
// screen of a Wayland session is the compositor's, and Xwayland's root window holds none of it.
inline constexpr std::string_view waylandDisplayRefusal =
    "the display of a Wayland session cannot be captured through Xwayland";

// Rows [top, end) of a picture, as a banded read hands them over.
struct Band {
    std::size_t top = 0;
    std::size_t end = 0;
};
// Given the size of the picture once it is known, the bands to read it in, top to bottom.
using Plan = std::function<std::vector<Band>(std::size_t width, std::size_t height)>;
// Called for each band in turn with its rows and its index in the plan; the rows stay valid
// only for the call.
using Take = std::function<void(const BgraView& rows, std::size_t band)>;

// Not thread-safe: one Grabber per thread. The connection may be shared.
// The pixels a returned view points to are the Grabber's own until its next read; a caller may
// change them in place meanwhile (a stream draws the pointer into them).
class Grabber {
  public:
    explicit Grabber(std::shared_ptr<Connection> connection);
    ~Grabber();
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    // The rectangle of the root window in root coordinates, clipped to the screen. The
    // pointer is never part of it. None, with `error` set, when nothing is left of it after
    // clipping or the server refuses. The view stays valid until the next read.
    std::optional<BgraView> root(int x, int y, int width, int height, ErrorPtr& error);
    // The same, band by band: while `take` works on one band the server already copies the
    // next, and two band-sized slots of shared memory serve the whole picture. A large screen
    // then costs neither a buffer of its size nor the first touch of all its pages, which on
    // a virtual machine takes longer than the copy itself. False, with `error` set, when a
    // read fails; bands already taken stay taken.
    bool root(int x, int y, int width, int height, const Plan& plan, const Take& take,
              ErrorPtr& error);

    // Sends `window`'s content to off-screen storage of its own with automatic redirection:
    // the screen looks the same, but the window's pixels no longer depend on what covers it.
    // Done once per window and Grabber (the server undoes it when the connection closes).
    // Covered parts are painted again by the server (backgrounds) or, after Expose events, by
    // the window's program; a caller that wants them must give that time. False, with `error`
    // set, when the window is gone; true without Composite, where nothing can be done.
    bool redirect(xcb_window_t window, ErrorPtr& error);

    // The window's own content, its border, the manager's decorations and the shadow margin of
    // a window that draws its own (_GTK_FRAME_EXTENTS) left out. Redirects the window first
    // where that has not been done. Without Composite, the window as it shows on screen. None,
    // with `error` set, when the window is gone, unmapped, or the server refuses. The view
    // stays valid until the next read; translucent() and offset() tell more about it.
    std::optional<BgraView> window(xcb_window_t window, ErrorPtr& error);
    // The same, band by band, as root() does it.
    bool window(xcb_window_t window, const Plan& plan, const Take& take, ErrorPtr& error);
    // Only the part (x, y, width, height) of the window's content, clipped to it; partX() and
    // partY() tell where the view starts in the content, contentWidth() and contentHeight() how
    // large the whole content is. Without Composite, or when nothing of the part is left, the
    // whole content.
    std::optional<BgraView> window(xcb_window_t window, int x, int y, int width, int height,
                                   ErrorPtr& error);

    // Whether the last read's alpha bytes are the picture's own, colours premultiplied by them
    // (a window of a depth-32 visual, as the Composite extension keeps it). Otherwise they mean
    // nothing. Already set when the read's Plan is called.
    bool translucent() const { return translucent_; }
    // Where the last window read's top-left corner sits inside the X window: past the shadow
    // margin, if any.
    int offsetX() const { return offsetX_; }
    int offsetY() const { return offsetY_; }
    int partX() const { return partX_; }
    int partY() const { return partY_; }
    int contentWidth() const { return contentWidth_; }
    int contentHeight() const { return contentHeight_; }

    // Whether reads go through shared memory (after the first read).
    bool sharedMemory() const { return segment_ != nullptr; }
    // Whether the server can redirect windows.
    bool composite();

  private:
    struct Segment;
    struct Format {
        int bitsPerPixel = 0;
        int scanlinePad = 0;
        std::uint8_t depth = 0;
        std::uint32_t red = 0;
        std::uint32_t green = 0;
        std::uint32_t blue = 0;
        std::uint32_t alpha = 0; // only of depth-32 visuals
    };
    // A rectangle of a drawable, and how its pixels are laid out.
    struct Area {
        xcb_drawable_t drawable = XCB_NONE;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        Format format;
    };

    bool read(const Area& area, const Plan& plan, const Take& take, ErrorPtr& error);
    // Converts one band's rows and hands them to `take`; false when they cannot be converted.
    bool handOver(const Area& area, const std::uint8_t* rows, std::size_t stride,
                  const std::vector<Band>& bands, std::size_t index, const Take& take,
                  ErrorPtr& error);
    bool readShared(const Area& area, const std::vector<Band>& bands, const Take& take,
                    ErrorPtr& error);
    bool readPlain(const Area& area, const std::vector<Band>& bands, const Take& take,
                   ErrorPtr& error);
    std::optional<Format> formatOf(std::uint8_t depth, xcb_visualid_t visual);
    bool ensureSegment(std::size_t size);
    std::optional<BgraView> convert(const std::uint8_t* data, std::size_t stride, int width,
                                    int height, const Format& format, ErrorPtr& error);

    // The steps of a window read (grab_window.cpp): ask everything about the window at once,
    // check that it can be read, then read its storage or, without Composite, the screen.
    struct WindowAnswers;
    std::optional<Format> windowFormat(const WindowAnswers& answers, ErrorPtr& error);
    bool readStorage(const WindowAnswers& answers, const Format& format, const Plan& plan,
                     const Take& take, ErrorPtr& error);
    bool readOnScreen(xcb_window_t window, const WindowAnswers& answers, const Format& format,
                      const Plan& plan, const Take& take, ErrorPtr& error);
    // Hands a picture of width by height, made in converted_, over in the bands planned.
    bool handOverConverted(int width, int height, const Plan& plan, const Take& take,
                           ErrorPtr& error);

    std::shared_ptr<Connection> connection_;
    std::unique_ptr<Segment> segment_;
    bool sharedMemoryTried_ = false;
    bool sharedMemoryWorks_ = false;
    std::optional<bool> composite_;
    std::set<xcb_window_t> redirected_;
    bool translucent_ = false;
    int offsetX_ = 0;
    int offsetY_ = 0;
    struct Part {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };
    std::optional<Part> part_; // asked for by the current window read
    int partX_ = 0;
    int partY_ = 0;
    int contentWidth_ = 0;
    int contentHeight_ = 0;
    Reply<xcb_get_image_reply_t> plain_; // the last plain read, which a view may point into
    std::vector<std::uint8_t> converted_;
};

} // namespace lumatap::x11
