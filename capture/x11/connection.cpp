#include "capture/x11/connection.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <vector>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shm.h>
#include <xcb/xinput.h>

namespace lumatap::x11 {
namespace {

std::string displayName() {
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

// The X client library writes the server's reason for refusing a connection straight to
// standard error, where the host expects nothing but our own lines. Catch it instead, so the
// refusal can be reported as one line of ours.
xcb_connection_t* connectQuietly(int& screenNumber, std::string& refusal) {
    int pipeFds[2];
    int saved = dup(STDERR_FILENO);
    if (saved < 0 || pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (saved >= 0) {
            close(saved);
        }
        return xcb_connect(nullptr, &screenNumber);
    }
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[1]);
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    dup2(saved, STDERR_FILENO);
    close(saved);
    char buffer[1024];
    for (ssize_t n;
         (n = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
        if (n > 0) {
            refusal.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(pipeFds[0]);
    while (!refusal.empty() && (refusal.back() == '\n' || refusal.back() == ' ')) {
        refusal.pop_back();
    }
    return connection;
}

bool refusedAuthorization(const std::string& refusal) {
    std::string lower;
    for (char c : refusal) {
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    for (const char* sign : {"authoriz", "magic-cookie", "no protocol specified", "xdm-auth"}) {
        if (lower.find(sign) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace

std::shared_ptr<Connection> Connection::open(ErrorPtr& error) {
    int screenNumber = 0;
    std::string refusal;
    xcb_connection_t* connection = connectQuietly(screenNumber, refusal);
    if (int problem = xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        std::string name = displayName();
        if (refusedAuthorization(refusal)) {
            // The server turned us away for want of authorization (no cookie, or a wrong
            // one): not allowed to capture, however it put it.
            error = makeError(std::string(streamErrorDomain), userDeclinedCode, refusal);
            return nullptr;
        }
        std::string description = "cannot open display \"" + name + "\"";
        if (name.empty()) {
            description = "cannot open display: DISPLAY is not set";
        } else if (problem == XCB_CONN_CLOSED_INVALID_SCREEN) {
            description += " (no such screen)";
        } else if (!refusal.empty()) {
            description += ": " + refusal;
        }
        error = makeError(std::string(errorDomain), problem, description);
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && it.rem; ++i) {
        xcb_screen_next(&it);
    }
    if (!it.rem) {
        xcb_disconnect(connection);
        error = makeError(std::string(errorDomain), XCB_CONN_CLOSED_INVALID_SCREEN,
                          "cannot open display \"" + displayName() + "\" (no such screen)");
        return nullptr;
    }
    return std::shared_ptr<Connection>(new Connection(connection, it.data));
}

std::shared_ptr<Connection> Connection::shared(ErrorPtr& error) {
    static std::mutex mutex;
    static std::shared_ptr<Connection> connection;
    static ErrorPtr failure;
    std::lock_guard lock(mutex);
    if (!connection && !failure) {
        connection = open(failure);
    }
    error = failure;
    return connection;
}

Connection::Connection(xcb_connection_t* connection, xcb_screen_t* screen)
    : connection_(connection), screen_(screen) {
    // Asked now and answered together, so that the first look at each extension later costs
    // no round trip of its own.
    for (xcb_extension_t* extension : {&xcb_randr_id, &xcb_res_id, &xcb_shm_id, &xcb_composite_id,
                                       &xcb_damage_id, &xcb_input_id}) {
        xcb_prefetch_extension_data(connection_, extension);
    }
}

Connection::~Connection() {
    xcb_disconnect(connection_);
}

xcb_atom_t Connection::atom(std::string_view name) {
    std::lock_guard lock(atomsMutex_);
    auto found = atoms_.find(std::string(name));
    if (found != atoms_.end()) {
        return found->second;
    }
    auto cookie =
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data());
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection_, cookie, nullptr));
    xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    atoms_.emplace(std::string(name), value);
    return value;
}

void Connection::preload(std::initializer_list<std::string_view> names) {
    std::lock_guard lock(atomsMutex_);
    std::vector<std::pair<std::string, xcb_intern_atom_cookie_t>> asked;
    for (std::string_view name : names) {
        if (!atoms_.count(std::string(name))) {
            auto length = static_cast<std::uint16_t>(name.size());
            asked.emplace_back(std::string(name),
                               xcb_intern_atom(connection_, 0, length, name.data()));
        }
    }
    for (auto& [name, cookie] : asked) {
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection_, cookie, nullptr));
        atoms_.emplace(std::move(name), reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE});
    }
}

bool Connection::hasExtension(xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
    return data && data->present;
}

bool Connection::xwayland() {
    std::call_once(xwaylandAsked_, [this] {
        // Newer Xwayland announces itself with an extension of its own; older ones (22.1, say)
        // only by the names of their RandR outputs and monitors, XWAYLAND0 and on.
        constexpr std::string_view extension = "XWAYLAND";
        auto extensionCookie = xcb_query_extension(
            connection_, static_cast<std::uint16_t>(extension.size()), extension.data());
        std::optional<xcb_randr_get_monitors_cookie_t> monitorsCookie;
        if (hasExtension(&xcb_randr_id)) {
            // Monitors came with RandR 1.5, which the server learns we know first.
            xcb_discard_reply(connection_, xcb_randr_query_version(connection_, 1, 5).sequence);
            monitorsCookie = xcb_randr_get_monitors(connection_, root(), 1);
        }
        Reply<xcb_query_extension_reply_t> present(
            xcb_query_extension_reply(connection_, extensionCookie, nullptr));
        Reply<xcb_randr_get_monitors_reply_t> monitors;
        if (monitorsCookie) {
            monitors.reset(xcb_randr_get_monitors_reply(connection_, *monitorsCookie, nullptr));
        }
        if (present && present->present) {
            xwayland_ = true;
            return;
        }
        if (!monitors) {
            return;
        }
        std::vector<xcb_get_atom_name_cookie_t> names;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
             xcb_randr_monitor_info_next(&it)) {
            names.push_back(xcb_get_atom_name(connection_, it.data->name));
        }
        for (auto cookie : names) {
            Reply<xcb_get_atom_name_reply_t> name(
                xcb_get_atom_name_reply(connection_, cookie, nullptr));
            if (name) {
                std::string_view text(
                    xcb_get_atom_name_name(name.get()),
                    static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())));
                xwayland_ = xwayland_ || text.starts_with("XWAYLAND");
            }
        }
    });
    return xwayland_;
}

ErrorPtr connectionLost() {
    return makeError(std::string(errorDomain), XCB_CONN_ERROR,
                     "the connection to the X server was lost");
}

} // namespace lumatap::x11
