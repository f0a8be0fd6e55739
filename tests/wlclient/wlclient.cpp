// A small Wayland client for the end-to-end tests: it opens xdg-shell windows of known size,
// colour, title and app id, as a test asks on standard input, and answers each request with
// one line once the compositor has it.
//
//   window W H RRGGBB APPID [left=RRGGBB] [title=REST OF LINE]
//                                                 -> the window's number, once it is shown
//          left= paints the left half in that colour, the right half in RRGGBB.
//   color N RRGGBB                                -> ok, once the new colour is committed
//   animate N MS       (a new colour every MS)    -> ok
//   destroy N                                     -> ok
//   pointer X Y W H    (a virtual pointer to X, Y of the W x H desktop) -> ok
//   sync                                          -> ok
// A window fills whatever size the compositor configures (a tiling one decides), or W x H
// when it leaves the choice to the client.
#include "virtual-pointer-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

wl_display* display;
wl_compositor* compositor;
wl_shm* shm;
xdg_wm_base* wmBase;
wl_seat* seat;
zwlr_virtual_pointer_manager_v1* pointerManager;
zwlr_virtual_pointer_v1* pointer; // made on the first `pointer` request

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "wlclient: %s\n", message.c_str());
    std::exit(1);
}

void global(void*, wl_registry* registry, std::uint32_t name, const char* interface,
            std::uint32_t version) {
    std::string_view i = interface;
    if (i == wl_compositor_interface.name) {
        compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, std::min(version, 4u)));
    } else if (i == wl_shm_interface.name) {
        shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (i == wl_seat_interface.name && !seat) {
        seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (i == zwlr_virtual_pointer_manager_v1_interface.name) {
        pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    } else if (i == xdg_wm_base_interface.name) {
        wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    }
}
void globalRemove(void*, wl_registry*, std::uint32_t) {
}
constexpr wl_registry_listener registryListener{global, globalRemove};

void ping(void*, xdg_wm_base* base, std::uint32_t serial) {
    xdg_wm_base_pong(base, serial);
}
constexpr xdg_wm_base_listener wmBaseListener{ping};

// Each picture gets a buffer of its own, freed when the compositor releases it (or at the end).
struct Picture {
    void* data = MAP_FAILED;
    std::size_t size = 0;
    wl_buffer* buffer = nullptr;

    ~Picture() {
        if (buffer) {
            wl_buffer_destroy(buffer);
        }
        if (data != MAP_FAILED) {
            ::munmap(data, size);
        }
    }
};
std::map<wl_buffer*, std::unique_ptr<Picture>> pictures;

void released(void*, wl_buffer* buffer) {
    pictures.erase(buffer);
}
constexpr wl_buffer_listener bufferListener{released};

wl_buffer* paint(int width, int height, std::uint32_t rgb, std::optional<std::uint32_t> left) {
    auto picture = std::make_unique<Picture>();
    int stride = width * 4;
    picture->size = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    int fd = ::memfd_create("wlclient", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(picture->size)) != 0) {
        die(std::string("cannot make a buffer: ") + std::strerror(errno));
    }
    picture->data = ::mmap(nullptr, picture->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (picture->data == MAP_FAILED) {
        die(std::string("cannot map a buffer: ") + std::strerror(errno));
    }
    auto* pixels = static_cast<std::uint32_t*>(picture->data);
    for (std::size_t n = 0; n < picture->size / 4; ++n) {
        pixels[n] = 0xFF000000u | rgb;
    }
    if (left) {
        for (int y = 0; y < height; ++y) {
            std::fill_n(pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width),
                        width / 2, 0xFF000000u | *left);
        }
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(picture->size));
    picture->buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    wl_buffer_add_listener(picture->buffer, &bufferListener, nullptr);
    wl_buffer* buffer = picture->buffer;
    pictures[buffer] = std::move(picture);
    return buffer;
}

struct Window {
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    int width = 0; // asked for
    int height = 0;
    int configuredWidth = 0; // from the compositor, 0 when it leaves the choice to us
    int configuredHeight = 0;
    std::uint32_t rgb = 0;
    std::optional<std::uint32_t> left;
    bool shown = false;
    std::chrono::milliseconds every{0}; // animating when not zero
    std::chrono::steady_clock::time_point next;

    ~Window() {
        if (toplevel) {
            xdg_toplevel_destroy(toplevel);
        }
        if (xdgSurface) {
            xdg_surface_destroy(xdgSurface);
        }
        if (surface) {
            wl_surface_destroy(surface);
        }
    }

    void show() {
        int w = configuredWidth > 0 ? configuredWidth : width;
        int h = configuredHeight > 0 ? configuredHeight : height;
        wl_surface_attach(surface, paint(w, h, rgb, left), 0, 0);
        wl_surface_damage(surface, 0, 0, w, h);
        wl_surface_commit(surface);
        shown = true;
    }
};
std::map<int, std::unique_ptr<Window>> windows;

void surfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
    xdg_surface_ack_configure(surface, serial);
    static_cast<Window*>(data)->show();
}
constexpr xdg_surface_listener surfaceListener{surfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height,
                       wl_array*) {
    auto* window = static_cast<Window*>(data);
    window->configuredWidth = width;
    window->configuredHeight = height;
}
void toplevelClose(void*, xdg_toplevel*) {
}
void configureBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {
}
void capabilities(void*, xdg_toplevel*, wl_array*) {
}
constexpr xdg_toplevel_listener toplevelListener{toplevelConfigure, toplevelClose, configureBounds,
                                                 capabilities};

void roundtrip() {
    if (wl_display_roundtrip(display) < 0) {
        die("the compositor went away");
    }
}

std::uint32_t colour(const std::string& text) {
    return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16)) & 0xFFFFFFu;
}

std::string handle(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "window") {
        auto window = std::make_unique<Window>();
        std::string rgb, appId, rest;
        in >> window->width >> window->height >> rgb >> appId;
        if (!in || window->width <= 0 || window->height <= 0) {
            return "error: window W H RRGGBB APPID [title=...]";
        }
        window->rgb = colour(rgb);
        std::getline(in, rest);
        auto title = rest.find("title=");
        auto left = rest.find("left=");
        if (left != std::string::npos && left < title) {
            window->left = colour(rest.substr(left + 5, 6));
        }
        window->surface = wl_compositor_create_surface(compositor);
        window->xdgSurface = xdg_wm_base_get_xdg_surface(wmBase, window->surface);
        xdg_surface_add_listener(window->xdgSurface, &surfaceListener, window.get());
        window->toplevel = xdg_surface_get_toplevel(window->xdgSurface);
        xdg_toplevel_add_listener(window->toplevel, &toplevelListener, window.get());
        xdg_toplevel_set_app_id(window->toplevel, appId.c_str());
        if (title != std::string::npos) {
            xdg_toplevel_set_title(window->toplevel, rest.substr(title + 6).c_str());
        }
        wl_surface_commit(window->surface);
        Window& w = *window;
        while (!w.shown) {
            if (wl_display_dispatch(display) < 0) {
                die("the compositor went away");
            }
        }
        roundtrip();
        static int made = 0;
        int number = ++made;
        windows[number] = std::move(window);
        return std::to_string(number);
    }
    int number = 0;
    in >> number;
    if (command == "sync") {
        roundtrip();
        return "ok";
    }
    if (command == "pointer") {
        // The number read above is X.
        std::uint32_t y = 0, width = 0, height = 0;
        in >> y >> width >> height;
        if (!in || number < 0 || width == 0 || height == 0) {
            return "error: pointer X Y W H";
        }
        if (!pointerManager) {
            return "error: the compositor offers no virtual pointer";
        }
        if (!pointer) {
            pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointerManager, seat);
        }
        zwlr_virtual_pointer_v1_motion_absolute(pointer, 0, static_cast<std::uint32_t>(number), y,
                                                width, height);
        zwlr_virtual_pointer_v1_frame(pointer);
        roundtrip();
        return "ok";
    }
    auto it = windows.find(number);
    if (it == windows.end()) {
        return "error: no window " + std::to_string(number);
    }
    Window& w = *it->second;
    if (command == "color") {
        std::string rgb;
        in >> rgb;
        w.rgb = colour(rgb);
        w.show();
        roundtrip();
        return "ok";
    }
    if (command == "animate") {
        int ms = 0;
        in >> ms;
        if (!in || ms <= 0) {
            return "error: animate N MS";
        }
        w.every = std::chrono::milliseconds(ms);
        w.next = std::chrono::steady_clock::now();
        return "ok";
    }
    if (command == "destroy") {
        windows.erase(it);
        roundtrip();
        return "ok";
    }
    return "error: unknown request " + command;
}

// Gives every animating window that is due its next colour; returns the milliseconds until the
// next one is, or -1 when none animates.
int animate() {
    constexpr std::uint32_t cycle[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff};
    auto now = std::chrono::steady_clock::now();
    int wait = -1;
    for (auto& [number, w] : windows) {
        if (w->every.count() == 0) {
            continue;
        }
        if (now >= w->next) {
            static std::size_t step = 0;
            w->rgb = cycle[step++ % std::size(cycle)];
            w->show();
            w->next += w->every;
            if (w->next < now) {
                w->next = now + w->every;
            }
        }
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(w->next - now).count();
        wait = wait < 0 ? static_cast<int>(ms) : std::min(wait, static_cast<int>(ms));
    }
    return wait;
}

} // namespace

int main() {
    display = wl_display_connect(nullptr);
    if (!display) {
        die("no compositor at WAYLAND_DISPLAY");
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    roundtrip();
    if (!compositor || !shm || !wmBase) {
        die("the compositor lacks wl_compositor, wl_shm or xdg_wm_base");
    }
    xdg_wm_base_add_listener(wmBase, &wmBaseListener, nullptr);

    std::string pending;
    while (true) {
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        wl_display_flush(display);
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}};
        if (::poll(fds, 2, animate()) < 0 && errno != EINTR) {
            wl_display_cancel_read(display);
            die("poll failed");
        }
        if (fds[1].revents & POLLIN) {
            wl_display_read_events(display);
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0) {
            die("the compositor went away");
        }
        if (fds[1].revents & (POLLHUP | POLLERR)) {
            die("the compositor went away");
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char chunk[4096];
            ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (got <= 0) {
                break; // the test is done with us
            }
            pending.append(chunk, static_cast<std::size_t>(got));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::printf("%s\n", handle(line).c_str());
                std::fflush(stdout);
            }
        }
    }
    windows.clear();
    pictures.clear();
    if (pointer) {
        zwlr_virtual_pointer_v1_destroy(pointer);
    }
    xdg_wm_base_destroy(wmBase);
    wl_shm_destroy(shm);
    wl_compositor_destroy(compositor);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
