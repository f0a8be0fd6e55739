// A small X client for the end-to-end tests: it opens windows of known geometry, colour and
// kind, as a test asks on standard input, and answers each request with one line once the
// X server has carried it out.
//
//   window X Y W H RRGGBB [type=T] [override=1] [map=0] [class=C] [above=1] [below=1]
//          [depth=32] [pid=0] [pattern=1] [title=REST OF LINE] -> the new window's id
//          [frame=L,R,T,B margin=RRGGBB] [halves=1]
//          pattern=1 paints the fixed noise of patternAt over the window, and paints it again
//          after every Expose, as a real program does; the test computes the same noise.
//          frame= announces a shadow margin in _GTK_FRAME_EXTENTS (left, right, top, bottom) as
//          a client-decorated GTK window does, and paints it in the margin colour (transparent
//          on depth=32 when margin= is not given); the colour fills only the inside.
//          halves=1 on depth=32 leaves the left half transparent (alpha 0), the right opaque.
//   destroy|map|unmap|raise ID                              -> ok
//   color ID RRGGBB | move ID X Y | resize ID W H           -> ok
//   animate ID MS      (cycles through colours every MS)    -> ok
//   dots ID N RRGGBB   (N 3x3 squares in the window's top-left 60x60, then one at its
//                       bottom-left corner, a request each)     -> ok
//   where ID           (client area in root coordinates)    -> X Y W H
//   pointer X Y        (moves the pointer there)              -> ok
//   sync                                                    -> ok
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

xcb_connection_t* x;
xcb_screen_t* screen;

xcb_atom_t atom(const std::string& name) {
    auto reply = xcb_intern_atom_reply(
        x, xcb_intern_atom(x, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    xcb_atom_t a = reply ? reply->atom : 0;
    free(reply);
    return a;
}

void sync() {
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));
}

void setProperty(xcb_window_t w, const char* name, xcb_atom_t type, int format, uint32_t count,
                 const void* data) {
    xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, atom(name), type, static_cast<uint8_t>(format),
                        count, data);
}

struct Animation {
    std::chrono::milliseconds every;
    std::chrono::steady_clock::time_point next;
    uint32_t step = 0;
};
std::map<xcb_window_t, Animation> animations;
std::map<xcb_window_t, bool> argb;

uint32_t pixelFor(xcb_window_t w, uint32_t rgb) {
    return argb[w] ? (0xFF000000u | rgb) : rgb;
}

std::map<xcb_window_t, bool> patterned;

// Windows painted in parts, again after every Expose: a margin around the colour, or a
// transparent left half.
struct Parts {
    uint32_t rgb = 0;
    uint32_t margin = 0; // the pixel value, alpha included
    uint32_t left = 0, right = 0, top = 0, bottom = 0;
    bool halves = false;
};
std::map<xcb_window_t, Parts> parted;

void paintParts(xcb_window_t w) {
    const Parts& p = parted[w];
    auto g = xcb_get_geometry_reply(x, xcb_get_geometry(x, w), nullptr);
    if (!g) {
        return;
    }
    int width = g->width;
    int height = g->height;
    free(g);
    xcb_gcontext_t gc = xcb_generate_id(x);
    xcb_create_gc(x, gc, w, 0, nullptr);
    auto fill = [&](uint32_t pixel, int left, int top, int w2, int h2) {
        if (w2 <= 0 || h2 <= 0) {
            return;
        }
        xcb_change_gc(x, gc, XCB_GC_FOREGROUND, &pixel);
        xcb_rectangle_t r{static_cast<int16_t>(left), static_cast<int16_t>(top),
                          static_cast<uint16_t>(w2), static_cast<uint16_t>(h2)};
        xcb_poly_fill_rectangle(x, w, gc, 1, &r);
    };
    fill(p.margin, 0, 0, width, height);
    int innerWidth = width - static_cast<int>(p.left + p.right);
    int innerHeight = height - static_cast<int>(p.top + p.bottom);
    if (p.halves) {
        fill(0, static_cast<int>(p.left), static_cast<int>(p.top), innerWidth / 2, innerHeight);
        fill(pixelFor(w, p.rgb), static_cast<int>(p.left) + innerWidth / 2, static_cast<int>(p.top),
             innerWidth - innerWidth / 2, innerHeight);
    } else {
        fill(pixelFor(w, p.rgb), static_cast<int>(p.left), static_cast<int>(p.top), innerWidth,
             innerHeight);
    }
    xcb_free_gc(x, gc);
}

// The colour of pixel (x, y) of a patterned window: noise that no scaling or compression can
// fake. tests/e2e/thumb.cpp holds the same function.
uint32_t patternAt(uint32_t x, uint32_t y) {
    uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h & 0xffffff;
}

void paintPattern(xcb_window_t w) {
    auto g = xcb_get_geometry_reply(x, xcb_get_geometry(x, w), nullptr);
    if (!g) {
        return;
    }
    uint32_t width = g->width;
    uint32_t height = g->height;
    uint8_t depth = g->depth;
    free(g);
    xcb_gcontext_t gc = xcb_generate_id(x);
    xcb_create_gc(x, gc, w, 0, nullptr);
    // As many rows a request as the server takes.
    uint32_t room = xcb_get_maximum_request_length(x) * 4 - 64;
    uint32_t rows = std::max<uint32_t>(1, room / (width * 4));
    std::vector<uint32_t> pixels;
    for (uint32_t top = 0; top < height; top += rows) {
        uint32_t count = std::min(rows, height - top);
        pixels.resize(std::size_t{width} * count);
        for (uint32_t y = 0; y < count; ++y) {
            for (uint32_t px = 0; px < width; ++px) {
                pixels[std::size_t{y} * width + px] = pixelFor(w, patternAt(px, top + y));
            }
        }
        xcb_put_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, w, gc, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(count), 0, static_cast<int16_t>(top), 0, depth,
                      static_cast<uint32_t>(pixels.size() * 4),
                      reinterpret_cast<const uint8_t*>(pixels.data()));
    }
    xcb_free_gc(x, gc);
}

void paint(xcb_window_t w, uint32_t rgb) {
    uint32_t pixel = pixelFor(w, rgb);
    xcb_change_window_attributes(x, w, XCB_CW_BACK_PIXEL, &pixel);
    xcb_clear_area(x, 0, w, 0, 0, 0, 0);
}

xcb_visualid_t visualOfDepth(uint8_t depth) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
        if (d.data->depth != depth) {
            continue;
        }
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
                return v.data->visual_id;
            }
        }
    }
    return 0;
}

// A window manager maps windows in its own time; answer only once the window is on screen.
void waitViewable(xcb_window_t w) {
    for (int i = 0; i < 400; ++i) {
        auto a = xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, w), nullptr);
        bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        free(a);
        if (viewable) {
            return;
        }
        usleep(5000);
    }
}

std::string createWindow(std::istringstream& in) {
    int px, py, pw, ph;
    std::string colour;
    in >> px >> py >> pw >> ph >> colour;
    uint32_t rgb = static_cast<uint32_t>(std::stoul(colour, nullptr, 16));
    std::map<std::string, std::string> opts;
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        std::string key = word.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (key == "title") {
            std::string rest;
            std::getline(in, rest);
            value += rest;
        }
        opts[key] = value;
    }
    xcb_window_t w = xcb_generate_id(x);
    bool deep = opts["depth"] == "32";
    uint8_t depth = XCB_COPY_FROM_PARENT;
    xcb_visualid_t visual = screen->root_visual;
    std::vector<uint32_t> values;
    uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT;
    values = {deep ? (0xFF000000u | rgb) : rgb, 0, opts["override"] == "1" ? 1u : 0u};
    if (deep) {
        depth = 32;
        visual = visualOfDepth(32);
        xcb_colormap_t map = xcb_generate_id(x);
        xcb_create_colormap(x, XCB_COLORMAP_ALLOC_NONE, map, screen->root, visual);
        mask |= XCB_CW_COLORMAP;
        values.push_back(map);
    }
    xcb_create_window(x, depth, w, screen->root, static_cast<int16_t>(px), static_cast<int16_t>(py),
                      static_cast<uint16_t>(pw), static_cast<uint16_t>(ph), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, visual, mask, values.data());
    argb[w] = deep;
    if (opts["pattern"] == "1") {
        patterned[w] = true;
        uint32_t exposures = XCB_EVENT_MASK_EXPOSURE;
        xcb_change_window_attributes(x, w, XCB_CW_EVENT_MASK, &exposures);
    }
    if (opts.count("frame") || opts["halves"] == "1") {
        Parts p;
        p.rgb = rgb;
        p.halves = opts["halves"] == "1";
        if (opts.count("frame")) {
            std::sscanf(opts["frame"].c_str(), "%u,%u,%u,%u", &p.left, &p.right, &p.top, &p.bottom);
            uint32_t extents[4] = {p.left, p.right, p.top, p.bottom};
            setProperty(w, "_GTK_FRAME_EXTENTS", XCB_ATOM_CARDINAL, 32, 4, extents);
        }
        p.margin = opts.count("margin")
                       ? pixelFor(w, static_cast<uint32_t>(std::stoul(opts["margin"], nullptr, 16)))
                       : (deep ? 0 : pixelFor(w, rgb));
        parted[w] = p;
        uint32_t exposures = XCB_EVENT_MASK_EXPOSURE;
        xcb_change_window_attributes(x, w, XCB_CW_EVENT_MASK, &exposures);
    }
    if (opts.count("title")) {
        const std::string& t = opts["title"];
        setProperty(w, "_NET_WM_NAME", atom("UTF8_STRING"), 8, static_cast<uint32_t>(t.size()),
                    t.data());
        setProperty(w, "WM_NAME", XCB_ATOM_STRING, 8, static_cast<uint32_t>(t.size()), t.data());
    }
    std::string cls = opts.count("class") ? opts["class"] : "LumatapTest";
    std::string both = "lumataptest";
    both.push_back('\0');
    both += cls;
    both.push_back('\0');
    setProperty(w, "WM_CLASS", XCB_ATOM_STRING, 8, static_cast<uint32_t>(both.size()), both.data());
    if (opts["pid"] != "0") {
        uint32_t pid = static_cast<uint32_t>(getpid());
        setProperty(w, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, 1, &pid);
    }
    if (opts.count("type")) {
        std::string name = "_NET_WM_WINDOW_TYPE_" + opts["type"];
        for (auto& c : name) {
            c = static_cast<char>(toupper(c));
        }
        xcb_atom_t type = atom(name);
        setProperty(w, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, 32, 1, &type);
    }
    if (opts["above"] == "1" || opts["below"] == "1") {
        xcb_atom_t state =
            atom(opts["above"] == "1" ? "_NET_WM_STATE_ABOVE" : "_NET_WM_STATE_BELOW");
        setProperty(w, "_NET_WM_STATE", XCB_ATOM_ATOM, 32, 1, &state);
    }
    // Ask the window manager, if any, to keep the requested place.
    uint32_t hints[18] = {};
    hints[0] = 1 | 2 | 4 | 8; // user/program position and size
    hints[1] = static_cast<uint32_t>(px);
    hints[2] = static_cast<uint32_t>(py);
    hints[3] = static_cast<uint32_t>(pw);
    hints[4] = static_cast<uint32_t>(ph);
    setProperty(w, "WM_NORMAL_HINTS", atom("WM_SIZE_HINTS"), 32, 18, hints);
    if (opts["map"] != "0") {
        xcb_map_window(x, w);
        waitViewable(w);
    }
    sync();
    if (patterned[w]) {
        // Painted before the answer, so the test never sees the bare background.
        paintPattern(w);
        sync();
    }
    if (parted.count(w)) {
        paintParts(w);
        sync();
    }
    return std::to_string(w);
}

std::string where(xcb_window_t w) {
    auto g = xcb_get_geometry_reply(x, xcb_get_geometry(x, w), nullptr);
    auto t = xcb_translate_coordinates_reply(x, xcb_translate_coordinates(x, w, screen->root, 0, 0),
                                             nullptr);
    std::string answer = "error";
    if (g && t) {
        answer = std::to_string(t->dst_x) + " " + std::to_string(t->dst_y) + " " +
                 std::to_string(g->width) + " " + std::to_string(g->height);
    }
    free(g);
    free(t);
    return answer;
}

std::string handle(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "window") {
        return createWindow(in);
    }
    if (command == "sync") {
        sync();
        return "ok";
    }
    if (command == "pointer") {
        int16_t px = 0;
        int16_t py = 0;
        in >> px >> py;
        xcb_warp_pointer(x, XCB_NONE, screen->root, 0, 0, 0, 0, px, py);
        sync();
        return "ok";
    }
    xcb_window_t w = 0;
    in >> w;
    if (command == "destroy") {
        animations.erase(w);
        xcb_destroy_window(x, w);
    } else if (command == "map") {
        xcb_map_window(x, w);
        waitViewable(w);
    } else if (command == "unmap") {
        xcb_unmap_window(x, w);
    } else if (command == "raise") {
        uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(x, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    } else if (command == "color") {
        std::string colour;
        in >> colour;
        uint32_t rgb = static_cast<uint32_t>(std::stoul(colour, nullptr, 16));
        if (parted.count(w)) {
            parted[w].rgb = rgb;
            paintParts(w);
        } else {
            paint(w, rgb);
        }
    } else if (command == "move") {
        int32_t pos[2];
        in >> pos[0] >> pos[1];
        xcb_configure_window(x, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, pos);
    } else if (command == "resize") {
        uint32_t size[2];
        in >> size[0] >> size[1];
        xcb_configure_window(x, w, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    } else if (command == "animate") {
        int ms = 33;
        in >> ms;
        animations[w] = {std::chrono::milliseconds(ms), std::chrono::steady_clock::now(), 0};
    } else if (command == "dots") {
        int n = 0;
        std::string colour;
        in >> n >> colour;
        auto g = xcb_get_geometry_reply(x, xcb_get_geometry(x, w), nullptr);
        if (!g) {
            return "error no such window";
        }
        xcb_gcontext_t gc = xcb_generate_id(x);
        uint32_t pixel = static_cast<uint32_t>(std::stoul(colour, nullptr, 16));
        xcb_create_gc(x, gc, w, XCB_GC_FOREGROUND, &pixel);
        for (int i = 0; i <= n; ++i) {
            xcb_rectangle_t r{static_cast<int16_t>(i * 7 % 57), static_cast<int16_t>(i * 13 % 57),
                              3, 3};
            if (i == n) {
                r.x = 0;
                r.y = static_cast<int16_t>(g->height - 3);
            }
            xcb_poly_fill_rectangle(x, w, gc, 1, &r);
        }
        xcb_free_gc(x, gc);
        free(g);
    } else if (command == "where") {
        return where(w);
    } else {
        return "error unknown command";
    }
    sync();
    return "ok";
}

void animate() {
    static const uint32_t colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff};
    auto now = std::chrono::steady_clock::now();
    for (auto& [w, a] : animations) {
        if (now >= a.next) {
            paint(w, colours[a.step++ % 6]);
            a.next = now + a.every;
        }
    }
    xcb_flush(x);
}

} // namespace

int main() {
    x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "xclient: cannot connect\n");
        return 1;
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    std::string pending;
    for (;;) {
        int timeout = animations.empty() ? -1 : 5;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(x), POLLIN, 0}};
        poll(fds, 2, timeout);
        while (auto* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_EXPOSE) {
                auto* expose = reinterpret_cast<xcb_expose_event_t*>(event);
                if (expose->count == 0 && patterned[expose->window]) {
                    paintPattern(expose->window);
                    xcb_flush(x);
                }
                if (expose->count == 0 && parted.count(expose->window)) {
                    paintParts(expose->window);
                    xcb_flush(x);
                }
            }
            free(event);
        }
        if (xcb_connection_has_error(x)) {
            return 1;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buffer[4096];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                return 0; // the test has gone: our windows go with us
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
                std::string answer = handle(pending.substr(0, nl));
                pending.erase(0, nl + 1);
                std::cout << answer << std::endl;
            }
        }
        animate();
    }
}
