// A PipeWire video producer for tests, sending as a desktop's shared-memory screencast does:
// BGRx frames only when something changes, with damage, crop and cursor metadata, and a
// cursor that moves alone in buffers whose picture is marked corrupted.
//
// Usage: lumatap_test_pwvideo WIDTH HEIGHT [B G R]   (the colour it starts with; black)
// Prints "node ID" once its node exists, "format W H MAXFPS" at each negotiation, and "sent"
// after each frame. Commands on standard input, one a line:
//   fill B G R               paints everything and sends it (damage: all)
//   rect X Y W H B G R       paints a rectangle and sends it (damage: the rectangle)
//   crop X Y W H             the crop of the frames from now on (0 0 0 0: none)
//   size W H                 a new size, negotiated again, painted black
//   cursor X Y               the cursor (a 16 by 16 image, hotspot 2 2) points there
//   nocursor                 no cursor
//   animate W H FPS          from now on FPS times a second a W by H box of a new colour
//                            moves along the picture (the whole picture when as big)
//   quit                     ends
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int cursorSide = 16;

struct Producer {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> canvas;
    spa_region crop{};
    std::vector<spa_region> damage;
    bool whole = false;
    bool frame = false;      // a picture waits to be sent
    bool cursorNews = false; // a cursor change waits to be sent
    bool cursorShown = false;
    bool cursorImageSent = false;
    int cursorX = 0, cursorY = 0;
    bool announced = false;
    int starting = 0; // ticks until the first picture
    std::uint32_t boxWidth = 0, boxHeight = 0;
    std::uint32_t step = 0;
    spa_source* animation = nullptr;
    std::string input;
};

const spa_pod* formatParam(spa_pod_builder& b, std::uint32_t width, std::uint32_t height) {
    spa_rectangle size{width, height};
    spa_fraction none{0, 1}, most{1000, 1}, one{1, 1}, sixty{60, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&none), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&sixty, &one, &most)));
}

void send(Producer& p) {
    if (!p.frame && !p.cursorNews) {
        return;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(p.stream);
    if (!buffer) {
        return; // tried again at the next command or tick
    }
    spa_buffer* b = buffer->buffer;
    spa_data& d = b->datas[0];
    std::uint32_t stride = p.width * 4;
    if (p.frame && d.data && d.maxsize >= stride * p.height) {
        std::memcpy(d.data, p.canvas.data(), stride * p.height);
        d.chunk->offset = 0;
        d.chunk->size = stride * p.height;
        d.chunk->stride = static_cast<std::int32_t>(stride);
        d.chunk->flags = 0;
    } else {
        // The cursor alone: the picture is not to be looked at.
        d.chunk->size = 0;
        d.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
    }
    if (auto* crop = static_cast<spa_meta_region*>(
            spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
        crop->region = p.crop.size.width ? p.crop : spa_region{{0, 0}, {p.width, p.height}};
    }
    if (spa_meta* meta = spa_buffer_find_meta(b, SPA_META_VideoDamage)) {
        auto* r = static_cast<spa_meta_region*>(meta->data);
        std::size_t room = meta->size / sizeof(spa_meta_region);
        std::size_t n = 0;
        if (p.whole || p.damage.size() > room) {
            r[n++].region = spa_region{{0, 0}, {p.width, p.height}};
        } else {
            for (const auto& d : p.damage) {
                r[n++].region = d;
            }
        }
        if (n < room) {
            r[n].region = spa_region{};
        }
    }
    if (spa_meta* meta = spa_buffer_find_meta(b, SPA_META_Cursor)) {
        auto* c = static_cast<spa_meta_cursor*>(meta->data);
        if (!p.cursorShown) {
            c->id = 0;
        } else {
            c->id = 1;
            c->flags = 0;
            c->position = {p.cursorX, p.cursorY};
            c->hotspot = {2, 2};
            c->bitmap_offset = 0;
            std::size_t needed =
                sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + cursorSide * cursorSide * 4;
            if (!p.cursorImageSent && meta->size >= needed) {
                c->bitmap_offset = sizeof(spa_meta_cursor);
                auto* bitmap = SPA_PTROFF(c, c->bitmap_offset, spa_meta_bitmap);
                // RGBA, as GNOME sends it: opaque red with a transparent column at the right.
                bitmap->format = SPA_VIDEO_FORMAT_RGBA;
                bitmap->size = {cursorSide, cursorSide};
                bitmap->stride = cursorSide * 4;
                bitmap->offset = sizeof(spa_meta_bitmap);
                auto* px = SPA_PTROFF(bitmap, bitmap->offset, std::uint8_t);
                for (int i = 0; i < cursorSide * cursorSide; ++i) {
                    bool clear = i % cursorSide == cursorSide - 1;
                    std::uint8_t v[4] = {clear ? std::uint8_t(0) : std::uint8_t(255), 0, 0,
                                         clear ? std::uint8_t(0) : std::uint8_t(255)};
                    std::memcpy(px + i * 4, v, 4);
                }
                p.cursorImageSent = true;
            }
        }
    }
    pw_stream_queue_buffer(p.stream, buffer);
    if (d.chunk->size == 0 && p.frame) {
        // A buffer of the size before: the picture waits for one of the new size.
        return;
    }
    p.frame = p.cursorNews = p.whole = false;
    p.damage.clear();
    std::printf("sent\n");
    std::fflush(stdout);
}

// A driver's buffers go out in a cycle of the graph that it starts itself.
void flush(Producer& p) {
    if (p.frame || p.cursorNews) {
        pw_stream_trigger_process(p.stream);
    }
}

void paint(Producer& p, std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
           int blue, int green, int red) {
    for (std::uint32_t row = y; row < y + h && row < p.height; ++row) {
        for (std::uint32_t col = x; col < x + w && col < p.width; ++col) {
            std::uint8_t* px = p.canvas.data() + (row * p.width + col) * 4;
            px[0] = static_cast<std::uint8_t>(blue);
            px[1] = static_cast<std::uint8_t>(green);
            px[2] = static_cast<std::uint8_t>(red);
            px[3] = 0x5a; // an x byte is not alpha: a reader must not care
        }
    }
}

void renegotiate(Producer& p) {
    std::uint8_t room[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(room, sizeof(room));
    const spa_pod* params[] = {formatParam(b, p.width, p.height)};
    pw_stream_update_params(p.stream, params, 1);
}

void command(Producer& p, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0, g = 0;
    if (word == "fill" && in >> a >> b >> c) {
        paint(p, 0, 0, p.width, p.height, a, b, c);
        p.whole = p.frame = true;
    } else if (word == "rect" && in >> a >> b >> c >> d >> e >> f >> g) {
        paint(p, a, b, c, d, e, f, g);
        p.damage.push_back({{a, b}, {std::uint32_t(c), std::uint32_t(d)}});
        p.frame = true;
    } else if (word == "crop" && in >> a >> b >> c >> d) {
        p.crop = {{a, b}, {std::uint32_t(c), std::uint32_t(d)}};
    } else if (word == "size" && in >> a >> b) {
        p.width = a;
        p.height = b;
        p.canvas.assign(std::size_t(a) * b * 4, 0);
        renegotiate(p);
        return;
    } else if (word == "cursor" && in >> a >> b) {
        p.cursorShown = true;
        p.cursorX = a;
        p.cursorY = b;
        p.cursorNews = true;
    } else if (word == "nocursor") {
        p.cursorShown = false;
        p.cursorNews = true;
    } else if (word == "animate" && in >> a >> b >> c) {
        p.boxWidth = a;
        p.boxHeight = b;
        timespec every{0, 1000000000L / std::max(c, 1)};
        pw_loop_update_timer(pw_main_loop_get_loop(p.loop), p.animation, &every, &every, false);
        return;
    } else if (word == "quit") {
        pw_main_loop_quit(p.loop);
        return;
    }
    flush(p);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::fprintf(stderr, "usage: lumatap_test_pwvideo WIDTH HEIGHT [B G R]\n");
        return 1;
    }
    pw_init(nullptr, nullptr);
    Producer p;
    p.width = static_cast<std::uint32_t>(std::stoul(argv[1]));
    p.height = static_cast<std::uint32_t>(std::stoul(argv[2]));
    p.canvas.assign(std::size_t(p.width) * p.height * 4, 0);
    if (argc == 6) {
        paint(p, 0, 0, p.width, p.height, std::stoi(argv[3]), std::stoi(argv[4]),
              std::stoi(argv[5]));
    }
    p.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(p.loop);
    static pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto& p = *static_cast<Producer*>(data);
        if (!p.announced && state >= PW_STREAM_STATE_PAUSED) {
            p.announced = true;
            std::printf("node %u\n", pw_stream_get_node_id(p.stream));
            std::fflush(stdout);
        }
        if (state == PW_STREAM_STATE_STREAMING) {
            // The first picture of a new link or size, a few ticks on, as a screencast sends
            // it with the next frame the desktop paints.
            p.starting = 6;
        }
    };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        auto& p = *static_cast<Producer*>(data);
        if (id != SPA_PARAM_Format || !param) {
            return;
        }
        spa_video_info_raw info{};
        spa_format_video_raw_parse(param, &info);
        std::printf("format %u %u %u\n", info.size.width, info.size.height,
                    info.max_framerate.denom ? info.max_framerate.num / info.max_framerate.denom
                                             : 0);
        std::fflush(stdout);
        std::uint8_t room[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(room, sizeof(room));
        auto region = static_cast<int>(sizeof(spa_meta_region));
        int cursorSize = static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) +
                         cursorSide * cursorSide * 4;
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
                SPA_PARAM_BUFFERS_size, SPA_POD_Int(info.size.width * info.size.height * 4),
                SPA_PARAM_BUFFERS_stride, SPA_POD_Int(info.size.width * 4),
                SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_header)))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(region))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(region * 16, region, region * 16))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(cursorSize, cursorSize, 4 * cursorSize))),
        };
        pw_stream_update_params(p.stream, params, 5);
    };
    events.process = [](void* data) { send(*static_cast<Producer*>(data)); };
    p.stream =
        pw_stream_new_simple(loop, "lumatap-test-video",
                             pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                                               "lumatap-test-video", nullptr),
                             &events, &p);

    std::uint8_t room[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(room, sizeof(room));
    const spa_pod* params[] = {formatParam(b, p.width, p.height)};
    pw_stream_connect(
        p.stream, SPA_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
        1);

    pw_loop_add_io(
        loop, STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP, false,
        [](void* data, int fd, std::uint32_t) {
            auto& p = *static_cast<Producer*>(data);
            char chunk[4096];
            ssize_t n = ::read(fd, chunk, sizeof(chunk));
            if (n <= 0) {
                pw_main_loop_quit(p.loop);
                return;
            }
            p.input.append(chunk, static_cast<std::size_t>(n));
            for (auto end = p.input.find('\n'); end != std::string::npos;
                 end = p.input.find('\n')) {
                std::string line = p.input.substr(0, end);
                p.input.erase(0, end + 1);
                command(p, line);
            }
        },
        &p);
    // What waited for a free buffer goes out as soon as one is back.
    spa_source* tick = pw_loop_add_timer(
        loop,
        [](void* data, std::uint64_t) {
            auto& p = *static_cast<Producer*>(data);
            if (p.starting > 0 && --p.starting == 0) {
                p.whole = p.frame = true;
                p.cursorImageSent = false;
            }
            flush(p);
        },
        &p);
    timespec every{0, 5000000};
    pw_loop_update_timer(loop, tick, &every, &every, false);

    p.animation = pw_loop_add_timer(
        loop,
        [](void* data, std::uint64_t) {
            auto& p = *static_cast<Producer*>(data);
            ++p.step;
            std::uint32_t x = p.width > p.boxWidth ? (p.step * 7) % (p.width - p.boxWidth) : 0;
            std::uint32_t y = p.height > p.boxHeight ? (p.step * 3) % (p.height - p.boxHeight) : 0;
            paint(p, x, y, p.boxWidth, p.boxHeight, int(p.step * 5 % 256), int(p.step % 256),
                  int(p.step * 11 % 256));
            if (p.boxWidth >= p.width && p.boxHeight >= p.height) {
                p.whole = true;
            } else {
                p.damage.push_back({{int(x), int(y)}, {p.boxWidth, p.boxHeight}});
            }
            p.frame = true;
            flush(p);
        },
        &p);

    pw_main_loop_run(p.loop);
    pw_stream_destroy(p.stream);
    pw_main_loop_destroy(p.loop);
    return 0;
}
