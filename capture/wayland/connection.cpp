#include "capture/wayland/connection.h"

#include "capture/session/display_ids.h"
#include "ext-foreign-toplevel-list-v1-client-protocol.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "zkde-screencast-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <wayland-client.h>

namespace lumatap::wayland {

struct Connection::Events {
    static Connection& of(void* data) { return *static_cast<Connection*>(data); }

    static void bindOutput(Connection& c, std::uint32_t name, std::uint32_t version) {
        auto output = std::make_unique<Output>();
        output->name = name;
        output->output = static_cast<wl_output*>(
            wl_registry_bind(c.registry_, name, &wl_output_interface, std::min(version, 4u)));
        wl_output_add_listener(output->output, &outputListener, output.get());
        if (c.xdgOutputs_) {
            watchXdgOutput(c, *output);
        }
        c.outputs_.push_back(std::move(output));
    }

    static void watchXdgOutput(Connection& c, Output& output) {
        output.xdgOutput = zxdg_output_manager_v1_get_xdg_output(c.xdgOutputs_, output.output);
        zxdg_output_v1_add_listener(output.xdgOutput, &xdgOutputListener, &output);
    }

    template <typename T>
    static T* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface,
                   std::uint32_t version) {
        return static_cast<T*>(wl_registry_bind(registry, name, interface, version));
    }

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        Connection& c = of(data);
        c.globals_[name] = interface;
        std::string_view i = interface;
        if (i == wl_shm_interface.name && !c.shm_) {
            c.shm_ = bind<wl_shm>(registry, name, &wl_shm_interface, 1);
        } else if (i == wl_output_interface.name) {
            bindOutput(c, name, version);
        } else if (i == zxdg_output_manager_v1_interface.name && !c.xdgOutputs_) {
            c.xdgOutputs_ = bind<zxdg_output_manager_v1>(
                registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u));
        } else if (i == ext_foreign_toplevel_list_v1_interface.name && !c.toplevelList_) {
            c.toplevelList_ = bind<ext_foreign_toplevel_list_v1>(
                registry, name, &ext_foreign_toplevel_list_v1_interface, 1);
            ext_foreign_toplevel_list_v1_add_listener(c.toplevelList_, &listListener, &c);
        } else if (i == ext_image_copy_capture_manager_v1_interface.name && !c.copyCapture_) {
            c.copyCapture_ = bind<ext_image_copy_capture_manager_v1>(
                registry, name, &ext_image_copy_capture_manager_v1_interface, 1);
        } else if (i == ext_output_image_capture_source_manager_v1_interface.name &&
                   !c.outputSources_) {
            c.outputSources_ = bind<ext_output_image_capture_source_manager_v1>(
                registry, name, &ext_output_image_capture_source_manager_v1_interface, 1);
        } else if (i == ext_foreign_toplevel_image_capture_source_manager_v1_interface.name &&
                   !c.toplevelSources_) {
            c.toplevelSources_ = bind<ext_foreign_toplevel_image_capture_source_manager_v1>(
                registry, name, &ext_foreign_toplevel_image_capture_source_manager_v1_interface, 1);
        } else if (i == zwlr_screencopy_manager_v1_interface.name && !c.screencopy_) {
            c.screencopy_ = bind<zwlr_screencopy_manager_v1>(
                registry, name, &zwlr_screencopy_manager_v1_interface, std::min(version, 3u));
        } else if (i == zkde_screencast_unstable_v1_interface.name && !c.kdeScreencast_) {
            c.kdeScreencast_ = bind<zkde_screencast_unstable_v1>(
                registry, name, &zkde_screencast_unstable_v1_interface, std::min(version, 6u));
        }
    }

    static void globalRemove(void* data, wl_registry*, std::uint32_t name) {
        of(data).globals_.erase(name);
        for (auto& output : of(data).outputs_) {
            if (output->name == name) {
                output->removed = true;
            }
        }
    }

    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static Output& output(void* data) { return *static_cast<Output*>(data); }
    static void geometry(void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t,
                         std::int32_t, std::int32_t, const char*, const char*,
                         std::int32_t transform) {
        output(data).transform = transform;
    }
    static void mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                     std::int32_t height, std::int32_t) {
        if (flags & WL_OUTPUT_MODE_CURRENT) {
            output(data).modeWidth = width;
            output(data).modeHeight = height;
        }
    }
    static void outputDone(void*, wl_output*) {}
    static void scale(void* data, wl_output*, std::int32_t factor) { output(data).scale = factor; }
    static void outputName(void* data, wl_output*, const char* name) {
        output(data).connector = name;
    }
    static void description(void*, wl_output*, const char*) {}
    static constexpr wl_output_listener outputListener{geometry, mode,       outputDone,
                                                       scale,    outputName, description};

    static void logicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
        output(data).logical.x = x;
        output(data).logical.y = y;
    }
    static void logicalSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
        output(data).logical.width = width;
        output(data).logical.height = height;
    }
    static void xdgDone(void*, zxdg_output_v1*) {}
    static void xdgName(void* data, zxdg_output_v1*, const char* name) {
        if (output(data).connector.empty()) {
            output(data).connector = name;
        }
    }
    static void xdgDescription(void*, zxdg_output_v1*, const char*) {}
    static constexpr zxdg_output_v1_listener xdgOutputListener{logicalPosition, logicalSize,
                                                               xdgDone, xdgName, xdgDescription};

    static void toplevel(void* data, ext_foreign_toplevel_list_v1*,
                         ext_foreign_toplevel_handle_v1* handle) {
        auto t = std::make_unique<Toplevel>();
        t->handle = handle;
        ext_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, t.get());
        of(data).toplevels_.push_back(std::move(t));
    }
    static void finished(void*, ext_foreign_toplevel_list_v1*) {}
    static constexpr ext_foreign_toplevel_list_v1_listener listListener{toplevel, finished};

    static Toplevel& top(void* data) { return *static_cast<Toplevel*>(data); }
    static void closed(void* data, ext_foreign_toplevel_handle_v1*) { top(data).closed = true; }
    static void handleDone(void* data, ext_foreign_toplevel_handle_v1*) { top(data).done = true; }
    static void title(void* data, ext_foreign_toplevel_handle_v1*, const char* text) {
        top(data).title = text;
    }
    static void appId(void* data, ext_foreign_toplevel_handle_v1*, const char* text) {
        top(data).appId = text;
    }
    static void identifier(void* data, ext_foreign_toplevel_handle_v1*, const char* text) {
        top(data).identifier = text;
    }
    static constexpr ext_foreign_toplevel_handle_v1_listener handleListener{
        closed, handleDone, title, appId, identifier};
};

std::unique_ptr<Connection> Connection::open(ErrorPtr& error, std::chrono::milliseconds timeout) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) {
        error = makeError(std::string(errorDomain), noCompositor, "WAYLAND_DISPLAY is not set");
        return nullptr;
    }
    std::unique_ptr<Connection> c(new Connection());
    c->name_ = name;
    c->timeout_ = timeout;
    c->display_ = wl_display_connect(nullptr);
    if (!c->display_) {
        error = makeError(std::string(errorDomain), noCompositor,
                          std::string("no Wayland compositor answers at ") + name + " (" +
                              std::strerror(errno ? errno : ENOENT) + ")");
        return nullptr;
    }
    c->registry_ = wl_display_get_registry(c->display_);
    wl_registry_add_listener(c->registry_, &Events::registryListener, c.get());
    if (!c->roundtrip(error)) {
        return nullptr;
    }

    // Outputs announced before the xdg-output manager are watched now that it is known.
    for (auto& output : c->outputs_) {
        if (c->xdgOutputs_ && !output->xdgOutput) {
            Events::watchXdgOutput(*c, *output);
        }
    }
    // The first roundtrip announced outputs and toplevels, the second brings their details.
    if (!c->roundtrip(error)) {
        return nullptr;
    }
    Connection& self = *c;
    if (!c->dispatchUntil(
            [&self] {
                return std::all_of(self.toplevels_.begin(), self.toplevels_.end(),
                                   [](const auto& t) { return t->done || t->closed; });
            },
            Clock::now() + timeout, error)) {
        return nullptr;
    }
    return c;
}

Connection::~Connection() {
    for (auto& t : toplevels_) {
        ext_foreign_toplevel_handle_v1_destroy(t->handle);
    }
    for (auto& output : outputs_) {
        if (output->xdgOutput) {
            zxdg_output_v1_destroy(output->xdgOutput);
        }
        if (wl_output_get_version(output->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
            wl_output_release(output->output);
        } else {
            wl_output_destroy(output->output);
        }
    }
    if (toplevelList_) {
        ext_foreign_toplevel_list_v1_destroy(toplevelList_);
    }
    if (toplevelSources_) {
        ext_foreign_toplevel_image_capture_source_manager_v1_destroy(toplevelSources_);
    }
    if (outputSources_) {
        ext_output_image_capture_source_manager_v1_destroy(outputSources_);
    }
    if (copyCapture_) {
        ext_image_copy_capture_manager_v1_destroy(copyCapture_);
    }
    if (kdeScreencast_) {
        zkde_screencast_unstable_v1_destroy(kdeScreencast_);
    }
    if (screencopy_) {
        zwlr_screencopy_manager_v1_destroy(screencopy_);
    }
    if (xdgOutputs_) {
        zxdg_output_manager_v1_destroy(xdgOutputs_);
    }
    if (shm_) {
        wl_shm_destroy(shm_);
    }
    if (registry_) {
        wl_registry_destroy(registry_);
    }
    if (display_) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
}

bool Connection::offers(std::string_view interface) const {
    return std::any_of(globals_.begin(), globals_.end(),
                       [&](const auto& global) { return global.second == interface; });
}

bool Connection::offersExtCapture(ErrorPtr& error) const {
    std::vector<std::string> missing;
    auto need = [&](const void* global, const wl_interface& interface) {
        if (!global) {
            missing.emplace_back(interface.name);
        }
    };
    need(shm_, wl_shm_interface);
    need(xdgOutputs_, zxdg_output_manager_v1_interface);
    need(toplevelList_, ext_foreign_toplevel_list_v1_interface);
    need(copyCapture_, ext_image_copy_capture_manager_v1_interface);
    need(outputSources_, ext_output_image_capture_source_manager_v1_interface);
    need(toplevelSources_, ext_foreign_toplevel_image_capture_source_manager_v1_interface);
    if (missing.empty()) {
        return true;
    }
    std::string list;
    for (const std::string& m : missing) {
        list += (list.empty() ? "" : ", ") + m;
    }
    error = makeError(std::string(errorDomain), missingProtocol,
                      "the Wayland compositor at " + name_ + " lacks " + list +
                          " (wlroots 0.19 or later offers them)");
    return false;
}

bool Connection::offersScreencopy(ErrorPtr& error) const {
    std::string missing;
    for (auto [global, interface] :
         {std::pair<const void*, const wl_interface*>{shm_, &wl_shm_interface},
          {xdgOutputs_, &zxdg_output_manager_v1_interface},
          {screencopy_, &zwlr_screencopy_manager_v1_interface}}) {
        if (!global) {
            missing += (missing.empty() ? "" : ", ") + std::string(interface->name);
        }
    }
    if (missing.empty()) {
        return true;
    }
    error = makeError(std::string(errorDomain), missingProtocol,
                      "the Wayland compositor at " + name_ + " lacks " + missing +
                          " (wlroots before 0.19 offers " +
                          (missing.find(',') == std::string::npos ? "it)" : "them)"));
    return false;
}

void Connection::numberOutputs() {
    std::vector<Output*> live;
    for (auto& output : outputs_) {
        output->id = 0;
        if (!output->removed) {
            live.push_back(output.get());
        }
    }
    // A compositor that names no output (before wl_output 4 and without xdg-output names)
    // leaves only its global number to go by.
    auto nameOf = [](const Output* o) {
        return o->connector.empty() ? "wl_output " + std::to_string(o->name) : o->connector;
    };
    std::sort(live.begin(), live.end(), [&](const Output* a, const Output* b) {
        return std::pair(nameOf(a), a->name) < std::pair(nameOf(b), b->name);
    });
    std::vector<DisplayID> given;
    for (Output* output : live) {
        output->id = session::displayID(nameOf(output), [&](DisplayID id) {
            return std::find(given.begin(), given.end(), id) != given.end();
        });
        given.push_back(output->id);
    }
}

const Output* Connection::outputWithID(DisplayID id) const {
    for (const auto& output : outputs_) {
        if (output->id == id && id != 0 && !output->removed) {
            return output.get();
        }
    }
    return nullptr;
}

ErrorPtr Connection::lost() const {
    int code = wl_display_get_error(display_);
    std::string why;
    if (code == EPROTO) {
        const wl_interface* interface = nullptr;
        std::uint32_t id = 0;
        std::uint32_t protocolCode = wl_display_get_protocol_error(display_, &interface, &id);
        why = std::string("protocol error ") + std::to_string(protocolCode) + " on " +
              (interface ? interface->name : "an unknown interface");
    } else {
        why = std::strerror(code ? code : EPIPE);
    }
    return makeError(std::string(errorDomain), connectionLost,
                     "the connection to the Wayland compositor at " + name_ + " failed: " + why);
}

bool Connection::dispatchUntil(const std::function<bool()>& done, Clock::time_point deadline,
                               ErrorPtr& error) {
    while (true) {
        if (wl_display_dispatch_pending(display_) < 0) {
            error = lost();
            return false;
        }
        numberOutputs();
        if (done()) {
            return true;
        }
        if (wl_display_prepare_read(display_) != 0) {
            continue; // events were queued meanwhile: dispatch them first
        }
        pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
        // A full socket buffer is the one case where flushing must wait for the compositor.
        if (wl_display_flush(display_) < 0 && errno == EAGAIN) {
            fd.events |= POLLOUT;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            wl_display_cancel_read(display_);
            error = makeError(std::string(errorDomain), timedOut,
                              "the Wayland compositor at " + name_ + " did not answer in time");
            return false;
        }
        int ready = ::poll(&fd, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            wl_display_cancel_read(display_);
            error = lost();
            return false;
        }
        if (ready > 0 && (fd.revents & (POLLIN | POLLERR | POLLHUP))) {
            if (wl_display_read_events(display_) < 0) {
                error = lost();
                return false;
            }
        } else {
            wl_display_cancel_read(display_);
        }
    }
}

namespace {
void synced(void* data, wl_callback* callback, std::uint32_t) {
    *static_cast<bool*>(data) = true;
    wl_callback_destroy(callback);
}
constexpr wl_callback_listener syncListener{synced};
} // namespace

bool Connection::roundtrip(ErrorPtr& error) {
    bool flag = false;
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &syncListener, &flag);
    bool ok = dispatchUntil([&] { return flag; }, Clock::now() + timeout_, error);
    if (!flag) {
        wl_callback_destroy(callback); // it must not write into this frame later
    }
    return ok;
}

} // namespace lumatap::wayland
