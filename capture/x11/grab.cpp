// How a Grabber reads pixels: through a kept MIT-SHM segment in two band slots, or with plain
// GetImage where shared memory fails, converted to BGRA where the server sends another format;
// and what it reads of the root window. What it reads of a window is in grab_window.cpp.
#include "capture/x11/grab.h"

#include "capture/x11/grab_internal.h"

#include <algorithm>
#include <bit>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/shm.h>

namespace lumatap::x11 {
namespace {

ErrorPtr refused(const xcb_generic_error_t& e) {
    return failure(grabRefused, "the X server refused to read the picture (X error " +
                                    std::to_string(e.error_code) + ")");
}

ErrorPtr readFailure(const xcb_generic_error_t* e) {
    if (!e) {
        return failure(grabRefused, "the X server connection was lost");
    }
    return gone(*e) ? failure(grabWindowGone, "the window no longer exists") : refused(*e);
}

std::size_t strideOf(int width, int bitsPerPixel, int scanlinePad) {
    std::size_t bits = static_cast<std::size_t>(width) * static_cast<std::size_t>(bitsPerPixel);
    std::size_t pad = static_cast<std::size_t>(scanlinePad);
    return (bits + pad - 1) / pad * pad / 8;
}

// Slots start on page boundaries.
std::size_t pageRounded(std::size_t size) {
    return (size + 4095) / 4096 * 4096;
}

// A read that nobody will wait for after all.
template <class Cookie> void drop(xcb_connection_t* c, const std::optional<Cookie>& cookie) {
    if (cookie) {
        xcb_discard_reply(c, cookie->sequence);
    }
}

// One colour channel of a pixel value, widened or narrowed to 8 bits.
struct Channel {
    int shift = 0;
    int bits = 0;

    explicit Channel(std::uint32_t mask)
        : shift(mask ? std::countr_zero(mask) : 0), bits(std::popcount(mask)) {}

    std::uint8_t operator()(std::uint32_t pixel) const {
        if (bits == 0) {
            return 0;
        }
        std::uint32_t v = (pixel >> shift) & ((1u << bits) - 1);
        if (bits >= 8) {
            return static_cast<std::uint8_t>(v >> (bits - 8));
        }
        std::uint32_t max = (1u << bits) - 1;
        return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    }
};

} // namespace

struct Grabber::Segment {
    xcb_connection_t* connection = nullptr;
    xcb_shm_seg_t id = 0;
    void* address = nullptr;
    std::size_t size = 0;
    std::optional<xcb_void_cookie_t> attach; // until the first read has shown how it went

    Segment() = default;
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    ~Segment() {
        forget(connection, xcb_shm_detach_checked(connection, id));
        xcb_flush(connection);
        shmdt(address);
    }
};

Grabber::Grabber(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {
}

Grabber::~Grabber() {
    xcb_connection_t* c = connection_->get();
    for (xcb_window_t window : redirected_) {
        forget(c, xcb_composite_unredirect_window_checked(c, window,
                                                          XCB_COMPOSITE_REDIRECT_AUTOMATIC));
    }
    xcb_flush(c);
}

bool Grabber::ensureSegment(std::size_t size) {
    xcb_connection_t* c = connection_->get();
    if (!sharedMemoryTried_) {
        sharedMemoryTried_ = true;
        sharedMemoryWorks_ = connection_->hasExtension(&xcb_shm_id);
    }
    if (!sharedMemoryWorks_) {
        return false;
    }
    if (segment_ && segment_->size >= size) {
        return true;
    }
    segment_.reset();
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
        sharedMemoryWorks_ = false;
        return false;
    }
    void* address = shmat(id, nullptr, 0);
    // Marked for removal at once (Linux still lets the server attach it): the segment then goes
    // with its last user, however and whenever this process ends.
    shmctl(id, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) {
        sharedMemoryWorks_ = false;
        return false;
    }
    segment_ = std::make_unique<Segment>();
    segment_->connection = c;
    segment_->id = xcb_generate_id(c);
    segment_->address = address;
    segment_->size = size;
    // Whether the server could attach it shows with the first read, which saves a round trip.
    segment_->attach = xcb_shm_attach_checked(c, segment_->id, static_cast<std::uint32_t>(id), 0);
    return true;
}

std::optional<Grabber::Format> Grabber::formatOf(std::uint8_t depth, xcb_visualid_t visual) {
    const xcb_setup_t* setup = xcb_get_setup(connection_->get());
    Format format;
    format.depth = depth;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            format.bitsPerPixel = it.data->bits_per_pixel;
            format.scanlinePad = it.data->scanline_pad;
        }
    }
    for (auto s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
        for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d)) {
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
                if (v.data->visual_id == visual &&
                    (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR ||
                     v.data->_class == XCB_VISUAL_CLASS_DIRECT_COLOR)) {
                    format.red = v.data->red_mask;
                    format.green = v.data->green_mask;
                    format.blue = v.data->blue_mask;
                    // ARGB visuals name no alpha mask: it is whatever the colours leave.
                    if (depth == 32) {
                        format.alpha = ~(format.red | format.green | format.blue);
                    }
                }
            }
        }
    }
    bool readable =
        format.bitsPerPixel == 16 || format.bitsPerPixel == 24 || format.bitsPerPixel == 32;
    if (!readable || format.scanlinePad <= 0 || (format.red | format.green | format.blue) == 0) {
        return std::nullopt;
    }
    return format;
}

std::optional<BgraView> Grabber::convert(const std::uint8_t* data, std::size_t stride, int width,
                                         int height, const Format& format, ErrorPtr& error) {
    bool lsbFirst =
        xcb_get_setup(connection_->get())->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    auto w = static_cast<std::size_t>(width);
    auto h = static_cast<std::size_t>(height);
    // What nearly every server sends: 32 bits a pixel, blue in the lowest byte. Depth-32 windows
    // look the same, with their alpha in the fourth byte.
    if (format.bitsPerPixel == 32 && lsbFirst && format.red == 0xff0000 && format.green == 0xff00 &&
        format.blue == 0xff) {
        return BgraView{data, w, h, stride};
    }
    int bytes = format.bitsPerPixel / 8;
    if (bytes < 2 || bytes > 4) {
        error = failure(grabUnsupported, "the pixel format of depth " +
                                             std::to_string(format.depth) + " is not supported");
        return std::nullopt;
    }
    Channel red(format.red);
    Channel green(format.green);
    Channel blue(format.blue);
    Channel alpha(format.alpha);
    converted_.resize(w * h * 4);
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* from = data + y * stride;
        std::uint8_t* to = converted_.data() + y * w * 4;
        for (std::size_t x = 0; x < w; ++x, from += bytes, to += 4) {
            std::uint32_t pixel = 0;
            for (int i = 0; i < bytes; ++i) {
                int at = lsbFirst ? bytes - 1 - i : i;
                pixel = (pixel << 8) | from[at];
            }
            to[0] = blue(pixel);
            to[1] = green(pixel);
            to[2] = red(pixel);
            to[3] = format.alpha ? alpha(pixel) : 255;
        }
    }
    return BgraView{converted_.data(), w, h, w * 4};
}

bool Grabber::read(const Area& area, const Plan& plan, const Take& take, ErrorPtr& error) {
    std::vector<Band> bands =
        plan(static_cast<std::size_t>(area.width), static_cast<std::size_t>(area.height));
    if (!fits(bands, static_cast<std::size_t>(area.height))) {
        error = failure(grabRefused, "the picture was planned in bands that do not fit it");
        return false;
    }
    if (bands.empty()) {
        return true;
    }
    std::size_t tallest = 0;
    for (const Band& band : bands) {
        tallest = std::max(tallest, band.end - band.top);
    }
    std::size_t slot = pageRounded(
        strideOf(area.width, area.format.bitsPerPixel, area.format.scanlinePad) * tallest);
    if (ensureSegment(slot * std::min<std::size_t>(bands.size(), 2))) {
        return readShared(area, bands, take, error);
    }
    return readPlain(area, bands, take, error);
}

bool Grabber::handOver(const Area& area, const std::uint8_t* rows, std::size_t stride,
                       const std::vector<Band>& bands, std::size_t index, const Take& take,
                       ErrorPtr& error) {
    const Band& band = bands[index];
    auto view = convert(rows, stride, area.width, static_cast<int>(band.end - band.top),
                        area.format, error);
    if (!view) {
        return false;
    }
    take(*view, index);
    return true;
}

bool Grabber::readShared(const Area& area, const std::vector<Band>& bands, const Take& take,
                         ErrorPtr& error) {
    xcb_connection_t* c = connection_->get();
    std::size_t stride = strideOf(area.width, area.format.bitsPerPixel, area.format.scanlinePad);
    std::size_t tallest = 0;
    for (const Band& band : bands) {
        tallest = std::max(tallest, band.end - band.top);
    }
    std::size_t slot = pageRounded(stride * tallest);
    // Band i goes to slot i % 2: the server fills one while the other is being taken.
    auto ask = [&](std::size_t i) {
        const Band& band = bands[i];
        return xcb_shm_get_image(c, area.drawable, static_cast<std::int16_t>(area.x),
                                 static_cast<std::int16_t>(area.y + static_cast<int>(band.top)),
                                 static_cast<std::uint16_t>(area.width),
                                 static_cast<std::uint16_t>(band.end - band.top), ~0u,
                                 XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id,
                                 static_cast<std::uint32_t>((i % 2) * slot));
    };
    std::optional<xcb_shm_get_image_cookie_t> current = ask(0);
    for (std::size_t i = 0; i < bands.size(); ++i) {
        std::optional<xcb_shm_get_image_cookie_t> next;
        if (i + 1 < bands.size()) {
            next = ask(i + 1);
        }
        xcb_generic_error_t* e = nullptr;
        Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, *current, &e));
        Reply<xcb_generic_error_t> problem(e);
        if (segment_->attach) {
            Reply<xcb_generic_error_t> notAttached(xcb_request_check(c, *segment_->attach));
            segment_->attach.reset();
            if (notAttached) {
                // A server on another machine or in another IPC namespace cannot see the
                // segment; the plain request takes over, for good.
                drop(c, next);
                segment_.reset();
                sharedMemoryWorks_ = false;
                return readPlain(area, bands, take, error);
            }
        }
        if (!reply) {
            drop(c, next);
            error = readFailure(problem.get());
            return false;
        }
        if (!handOver(area, static_cast<const std::uint8_t*>(segment_->address) + (i % 2) * slot,
                      stride, bands, i, take, error)) {
            drop(c, next);
            return false;
        }
        current = next;
    }
    return true;
}

bool Grabber::readPlain(const Area& area, const std::vector<Band>& bands, const Take& take,
                        ErrorPtr& error) {
    xcb_connection_t* c = connection_->get();
    std::size_t stride = strideOf(area.width, area.format.bitsPerPixel, area.format.scanlinePad);
    auto ask = [&](std::size_t i) {
        const Band& band = bands[i];
        return xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, area.drawable,
                             static_cast<std::int16_t>(area.x),
                             static_cast<std::int16_t>(area.y + static_cast<int>(band.top)),
                             static_cast<std::uint16_t>(area.width),
                             static_cast<std::uint16_t>(band.end - band.top), ~0u);
    };
    std::optional<xcb_get_image_cookie_t> current = ask(0);
    for (std::size_t i = 0; i < bands.size(); ++i) {
        std::optional<xcb_get_image_cookie_t> next;
        if (i + 1 < bands.size()) {
            next = ask(i + 1);
        }
        const Band& band = bands[i];
        xcb_generic_error_t* e = nullptr;
        plain_.reset(xcb_get_image_reply(c, *current, &e));
        Reply<xcb_generic_error_t> problem(e);
        if (!plain_) {
            drop(c, next);
            error = readFailure(problem.get());
            return false;
        }
        if (static_cast<std::size_t>(xcb_get_image_data_length(plain_.get())) <
            stride * (band.end - band.top)) {
            drop(c, next);
            error = failure(grabRefused, "the X server sent a short picture");
            return false;
        }
        if (!handOver(area, xcb_get_image_data(plain_.get()), stride, bands, i, take, error)) {
            drop(c, next);
            return false;
        }
        current = next;
    }
    return true;
}

std::optional<BgraView> Grabber::root(int x, int y, int width, int height, ErrorPtr& error) {
    std::optional<BgraView> picture;
    if (!root(
            x, y, width, height, whole, [&](const BgraView& rows, std::size_t) { picture = rows; },
            error)) {
        return std::nullopt;
    }
    return picture;
}

bool Grabber::root(int x, int y, int width, int height, const Plan& plan, const Take& take,
                   ErrorPtr& error) {
    const xcb_screen_t& screen = connection_->screen();
    int left = std::max(x, 0);
    int top = std::max(y, 0);
    int right = std::min(x + width, static_cast<int>(screen.width_in_pixels));
    int bottom = std::min(y + height, static_cast<int>(screen.height_in_pixels));
    if (right <= left || bottom <= top) {
        error = failure(grabOffScreen, "the area lies outside the screen");
        return false;
    }
    auto format = formatOf(screen.root_depth, screen.root_visual);
    if (!format) {
        error =
            failure(grabUnsupported, "the pixel format of depth " +
                                         std::to_string(screen.root_depth) + " is not supported");
        return false;
    }
    translucent_ = false;
    offsetX_ = offsetY_ = 0;
    return read({connection_->root(), left, top, right - left, bottom - top, *format}, plan, take,
                error);
}

} // namespace lumatap::x11
