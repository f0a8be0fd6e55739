// Lists and captures through the Wayland layer alone, for tests and for looking at what a
// compositor offers:
//   lumatap_wayland_probe list                          -> JSON of outputs and toplevels
//   lumatap_wayland_probe shot output|toplevel ID FILE  -> one frame as PNG [cursor]
//   lumatap_wayland_probe watch output|toplevel ID N    -> a line per frame, N frames at most,
//                                                          "stopped" when the source goes
#include "capture/media/png_encoder.h"
#include "capture/session/window_ids.h"
#include "capture/wayland/capture.h"
#include "capture/wayland/connection.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

using namespace lumatap;
using namespace lumatap::wayland;

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    std::exit(1);
}

std::string idsPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) {
        fail("XDG_RUNTIME_DIR is not set");
    }
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return session::WindowIds::pathFor(runtime, display ? display : "");
}

// Connects while holding the window map, and numbers the toplevels listed.
std::unique_ptr<Connection> connect(std::map<std::string, WindowID>& numbers) {
    ErrorPtr error;
    auto ids = session::WindowIds::lock(idsPath(), error);
    if (!ids) {
        fail(error->description);
    }
    auto connection = Connection::open(error);
    if (!connection || !connection->offersExtCapture(error)) {
        fail(error->description);
    }
    std::vector<std::string> live;
    for (const auto& t : connection->toplevels()) {
        if (!t->closed) {
            live.push_back(t->identifier);
        }
    }
    if (!ids->assign(live, numbers, error)) {
        fail(error->description);
    }
    return connection;
}

int list() {
    std::map<std::string, WindowID> numbers;
    auto connection = connect(numbers);
    nlohmann::json out{{"outputs", nlohmann::json::array()},
                       {"toplevels", nlohmann::json::array()}};
    for (const auto& o : connection->outputs()) {
        if (o->removed) {
            continue;
        }
        out["outputs"].push_back({{"id", o->id},
                                  {"name", o->connector},
                                  {"x", o->logical.x},
                                  {"y", o->logical.y},
                                  {"width", o->logical.width},
                                  {"height", o->logical.height},
                                  {"pixelWidth", o->pixelWidth()},
                                  {"pixelHeight", o->pixelHeight()},
                                  {"scale", o->scale}});
    }
    for (const auto& t : connection->toplevels()) {
        auto number = numbers.find(t->identifier);
        if (t->closed || number == numbers.end()) {
            continue;
        }
        nlohmann::json entry{{"id", number->second},
                             {"identifier", t->identifier},
                             {"title", t->title},
                             {"appId", t->appId}};
        ErrorPtr error;
        if (auto session = CaptureSession::ofToplevel(*connection, *t, false, error)) {
            entry["width"] = session->width();
            entry["height"] = session->height();
            entry["shmFormats"] = session->shmFormats();
        }
        out["toplevels"].push_back(entry);
    }
    std::printf("%s\n", out.dump().c_str());
    return 0;
}

std::unique_ptr<CaptureSession> open(Connection& connection,
                                     const std::map<std::string, WindowID>& numbers,
                                     const std::string& kind, WindowID id, bool cursor) {
    ErrorPtr error;
    std::unique_ptr<CaptureSession> session;
    if (kind == "output") {
        const Output* output = connection.outputWithID(id);
        if (!output) {
            fail("gone: no such output");
        }
        session = CaptureSession::ofOutput(connection, *output, cursor, error);
    } else if (kind == "toplevel") {
        const Toplevel* found = nullptr;
        for (const auto& t : connection.toplevels()) {
            auto number = numbers.find(t->identifier);
            if (!t->closed && number != numbers.end() && number->second == id) {
                found = t.get();
            }
        }
        if (!found) {
            fail("gone: no such window");
        }
        session = CaptureSession::ofToplevel(connection, *found, cursor, error);
    } else {
        fail("unknown source kind " + kind);
    }
    if (!session) {
        fail(error->description);
    }
    return session;
}

WindowID number(const std::string& text) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || value > 0xFFFFFFFFul) {
        fail("not an id: " + text);
    }
    return static_cast<WindowID>(value);
}

int shot(const std::string& kind, WindowID id, const std::string& file, bool cursor) {
    std::map<std::string, WindowID> numbers;
    auto connection = connect(numbers);
    auto session = open(*connection, numbers, kind, id, cursor);
    ErrorPtr error;
    auto frame = session->nextFrame(Clock::now() + connection->timeout(), error);
    if (!frame) {
        fail(error->description);
    }
    auto png = media::encodePNGWithLibpng(frame->image);
    if (!png) {
        fail("cannot encode the frame");
    }
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(png->data()),
              static_cast<std::streamsize>(png->size()));
    if (!out.flush()) {
        fail("cannot write " + file);
    }
    std::printf("%zux%zu formats", frame->image.width, frame->image.height);
    for (std::uint32_t f : session->shmFormats()) {
        std::printf(" %u", f);
    }
    std::printf(" damage %zu transform %u\n", frame->damage.size(), frame->transform);
    return 0;
}

// One line per frame: its size, how many damage rectangles, and the colour at its centre.
int watch(const std::string& kind, WindowID id, int frames) {
    std::map<std::string, WindowID> numbers;
    auto connection = connect(numbers);
    auto session = open(*connection, numbers, kind, id, false);
    for (int n = 0; n < frames;) {
        ErrorPtr error;
        auto frame = session->nextFrame(Clock::now() + std::chrono::seconds(1), error);
        if (!frame) {
            if (error->code == timedOut) {
                std::printf("idle\n");
                std::fflush(stdout);
                continue;
            }
            if (error->code == sourceStopped) {
                std::printf("stopped\n");
                return 0;
            }
            fail(error->description);
        }
        const Image& image = frame->image;
        const std::uint8_t* p =
            image.pixels.data() + image.height / 2 * image.bytesPerRow + image.width / 2 * 4;
        std::printf("frame %zux%zu damage %zu centre %02x%02x%02x\n", image.width, image.height,
                    frame->damage.size(), p[2], p[1], p[0]);
        std::fflush(stdout);
        ++n;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "list") {
        return list();
    }
    if ((args.size() == 4 || args.size() == 5) && args[0] == "shot") {
        return shot(args[1], number(args[2]), args[3], args.size() == 5 && args[4] == "cursor");
    }
    if (args.size() == 4 && args[0] == "watch") {
        return watch(args[1], number(args[2]), static_cast<int>(number(args[3])));
    }
    std::fprintf(stderr, "usage: lumatap_wayland_probe list | shot output|toplevel ID FILE "
                         "[cursor] | watch output|toplevel ID FRAMES\n");
    return 2;
}
