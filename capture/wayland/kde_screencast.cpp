#include "capture/wayland/kde_screencast.h"

#include "zkde-screencast-unstable-v1-client-protocol.h"

#include <wayland-client.h>

namespace lumatap::wayland {
namespace {

ErrorPtr failure(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

} // namespace

struct KdeScreencast::Events {
    static KdeScreencast& of(void* data) { return *static_cast<KdeScreencast*>(data); }

    static void closed(void* data, zkde_screencast_stream_unstable_v1*) { of(data).closed_ = true; }
    static void created(void* data, zkde_screencast_stream_unstable_v1*, std::uint32_t node) {
        of(data).node_ = node;
        of(data).created_ = true;
    }
    static void failed(void* data, zkde_screencast_stream_unstable_v1*, const char* error) {
        of(data).failed_ = true;
        of(data).failure_ = error ? error : "";
    }
    // The node's serial guards against a node id reused meanwhile; the stream is read at
    // once, so the id serves.
    static void serial(void*, zkde_screencast_stream_unstable_v1*, std::uint32_t, std::uint32_t) {}

    static constexpr zkde_screencast_stream_unstable_v1_listener listener{closed, created, failed,
                                                                          serial};
};

std::unique_ptr<KdeScreencast> KdeScreencast::ofOutput(Connection& connection, const Output& output,
                                                       Pointer pointer, ErrorPtr& error) {
    if (!connection.kdeScreencast()) {
        error = failure(missingProtocol, "KWin does not offer zkde_screencast_unstable_v1");
        return nullptr;
    }
    std::unique_ptr<KdeScreencast> cast(new KdeScreencast);
    cast->stream_ = zkde_screencast_unstable_v1_stream_output(
        connection.kdeScreencast(), output.output, static_cast<std::uint32_t>(pointer));
    return start(connection, std::move(cast), error);
}

std::unique_ptr<KdeScreencast> KdeScreencast::ofWindow(Connection& connection,
                                                       const std::string& uuid, Pointer pointer,
                                                       ErrorPtr& error) {
    if (!connection.kdeScreencast()) {
        error = failure(missingProtocol, "KWin does not offer zkde_screencast_unstable_v1");
        return nullptr;
    }
    std::unique_ptr<KdeScreencast> cast(new KdeScreencast);
    cast->stream_ = zkde_screencast_unstable_v1_stream_window(
        connection.kdeScreencast(), uuid.c_str(), static_cast<std::uint32_t>(pointer));
    return start(connection, std::move(cast), error);
}

std::unique_ptr<KdeScreencast>
KdeScreencast::start(Connection& connection, std::unique_ptr<KdeScreencast> cast, ErrorPtr& error) {
    if (!cast->stream_) {
        error = failure(captureFailed, "cannot ask KWin for a screencast");
        return nullptr;
    }
    zkde_screencast_stream_unstable_v1_add_listener(cast->stream_, &Events::listener, cast.get());
    KdeScreencast& c = *cast;
    if (!connection.dispatchUntil([&c] { return c.created_ || c.failed_ || c.closed_; },
                                  Clock::now() + connection.timeout(), error)) {
        return nullptr;
    }
    if (c.failed_) {
        error = failure(captureFailed, "KWin refused the screencast: " + c.failure_);
        return nullptr;
    }
    if (!c.created_) {
        error = failure(sourceStopped, "KWin closed the screencast before it began");
        return nullptr;
    }
    return cast;
}

KdeScreencast::~KdeScreencast() {
    if (stream_) {
        zkde_screencast_stream_unstable_v1_close(stream_);
    }
}

} // namespace lumatap::wayland
