// Pictures of a PipeWire video node for the screen stream.
//
// The node's buffers come on the connection's loop thread; the screen stream reads on its
// capture thread. The newest buffer waits in `incoming` until a report takes it; the one a
// report took (`current`) is read in place, without a copy, and goes back to the producer
// once a newer one is taken. A buffer overtaken before any report goes back at once, its
// damage kept for the one that overtook it.
//
// Locks, always taken in this order: the loop's lock; `reading`, which the capture thread
// holds from a read until its next call, so that PipeWire never takes away the memory of a
// view still being read; `mutex`, for what the two threads hand each other.
#include "capture/pipewire/source.h"

#include "capture/media/picture_size.h"
#include "capture/media/screen_stream.h"
#include "capture/pipewire/connection.h"

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace lumatap::pipewire {
namespace {

using media::Area;
using media::BgraView;

// How long a start waits for the producer's first picture.
constexpr auto firstPicture = std::chrono::seconds(5);
// A flood of small changes is read whole anyway; the list stays bounded meanwhile.
constexpr std::size_t mostDamage = 64;
// The damage meta's room, in rectangles; the largest cursor bitmap asked for.
constexpr int damageRoom = 16;
constexpr int largestCursor = 256;

constexpr int cursorMetaSize(int width, int height) {
    return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

// Where the blue, green, red and alpha bytes of a pixel of a format lie; BGRA is read as it
// is, the others turned into it.
struct Layout {
    std::uint8_t b = 0, g = 1, r = 2, a = 3;
    bool bgra() const { return b == 0 && g == 1 && r == 2 && a == 3; }
};

std::optional<Layout> layoutOf(std::uint32_t format) {
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
        return Layout{0, 1, 2, 3};
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
        return Layout{2, 1, 0, 3};
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
        return Layout{3, 2, 1, 0};
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
        return Layout{1, 2, 3, 0};
    default:
        return std::nullopt;
    }
}

// The formats offered, ours first.
constexpr std::uint32_t offered[] = {
    SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
    SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR};

void copyPixels(const std::uint8_t* from, std::size_t fromStride, Layout layout, std::size_t width,
                std::size_t height, std::uint8_t* to, std::size_t toStride) {
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* s = from + y * fromStride;
        std::uint8_t* d = to + y * toStride;
        if (layout.bgra()) {
            std::memcpy(d, s, width * 4);
            continue;
        }
        for (std::size_t x = 0; x < width; ++x, s += 4, d += 4) {
            d[0] = s[layout.b];
            d[1] = s[layout.g];
            d[2] = s[layout.r];
            d[3] = s[layout.a];
        }
    }
}

// Whether [data, data + size) lies in one mapping of this process that may be written. The
// buffer's flags say what its producer allows, not how PipeWire mapped it here; a write to a
// read-only mapping would end the process. Asked once per buffer, when it is added.
bool mappedWritable(const void* data, std::size_t size) {
    auto start = reinterpret_cast<std::uintptr_t>(data);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::uintptr_t from = 0, to = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %4s", &from, &to, perms) != 3) {
            continue;
        }
        if (start >= from && start < to) {
            return start + size <= to && perms[1] == 'w';
        }
    }
    return false;
}

// One buffer's picture: where its crop starts in the mapped memory, and its size.
struct Picture {
    pw_buffer* buffer = nullptr;
    const std::uint8_t* pixels = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0;
    Layout layout;
    // The memory may be drawn on (and put back) rather than copied first.
    bool writable = false;
    // The crop's corner in the producer's frame: the cursor's position is told in that frame.
    std::int64_t cropX = 0;
    std::int64_t cropY = 0;
};

// The cursor as its metadata last told it, in the producer's frame.
struct Cursor {
    bool visible = false;
    std::int64_t x = 0; // where it points
    std::int64_t y = 0;
    std::int64_t hotspotX = 0; // where in the image it points from
    std::int64_t hotspotY = 0;
    std::vector<std::uint32_t> image; // premultiplied ARGB
    std::size_t width = 0;
    std::size_t height = 0;
};

bool intersects(const Area& a, std::int64_t x, std::int64_t y, std::size_t w, std::size_t h) {
    return x < static_cast<std::int64_t>(a.x + a.width) &&
           x + static_cast<std::int64_t>(w) > static_cast<std::int64_t>(a.x) &&
           y < static_cast<std::int64_t>(a.y + a.height) &&
           y + static_cast<std::int64_t>(h) > static_cast<std::int64_t>(a.y);
}

class Source : public media::FrameSource {
  public:
    explicit Source(SourceOptions options) : options_(std::move(options)) {}
    ~Source() override;

    bool prepare(const StreamConfiguration& configuration, std::size_t& width, std::size_t& height,
                 ErrorPtr& error) override;
    bool wait(Clock::time_point deadline) override;
    bool pending() const override;
    bool report(media::Changes& changes, ErrorPtr& error) override;
    std::optional<BgraView> read(const Area& area, ErrorPtr& error) override;

  private:
    // The loop thread's side, called with the loop's lock held.
    void connect(std::uint32_t fps);
    void paramChanged(std::uint32_t id, const spa_pod* param);
    void process();
    void removeBuffer(pw_buffer* buffer);
    void stateChanged(pw_stream_state state, const char* message);
    void end(ErrorPtr cause);
    // Reads a buffer's metadata: its picture into `picture` when it has one, its cursor into
    // `cursor_`, its damage into `damage_`. With `mutex_` held.
    bool take(pw_buffer* buffer, Picture& picture);
    void takeCursor(const spa_buffer& buffer);
    void takeDamage(const spa_buffer& buffer, const Picture& picture, const Picture& before);

    // The capture thread's side.
    void pin() const;
    void unpin() const;
    ErrorPtr ending();
    // Where the pointer's image goes in the current picture, when it is to be drawn.
    std::optional<std::pair<std::int64_t, std::int64_t>> pointerCorner() const;

    SourceOptions options_;
    std::unique_ptr<Connection> connection_;
    pw_stream* stream_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook streamHook_{};
    spa_hook registryHook_{};
    pw_stream_events streamEvents_{};
    pw_registry_events registryEvents_{};
    // Of the loop thread.
    spa_video_info_raw format_{};
    std::optional<Layout> layout_;
    bool streaming_ = false;
    bool nodeSeen_ = false;

    mutable std::mutex reading_;
    mutable bool pinned_ = false; // the capture thread's own
    // The pixels under the pointer, kept while the stream may draw it on a view of the
    // producer's memory, and put back before anything else reads there.
    mutable std::vector<std::uint8_t> saved_;
    mutable std::uint8_t* savedAt_ = nullptr;
    mutable std::size_t savedRow_ = 0;
    mutable std::size_t savedRows_ = 0;
    mutable std::size_t savedStride_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Under `mutex_`.
    Picture incoming_;
    Picture latest_; // the last picture taken in, whoever holds it: damage is told against it
    std::vector<Area> damage_;
    bool whole_ = true;
    Cursor cursor_;
    bool cursorNews_ = false;
    bool cursorImageNews_ = false;
    ErrorPtr cause_;

    // Written with the loop's lock and `mutex_` held (and `reading_` on the loop thread), so
    // that the capture thread may read it holding any one of them.
    Picture current_;

    // The capture thread's own.
    std::vector<Area> reported_;
    Cursor pointer_;
    std::vector<std::uint8_t> scratch_;
    bool first_ = true;
    ErrorPtr ending_;
};

Source::~Source() {
    unpin();
    if (!connection_) {
        if (options_.remoteFd >= 0) {
            close(options_.remoteFd);
        }
        return;
    }
    {
        Connection::Lock lock(*connection_);
        connection_->onBreak(nullptr);
        if (stream_) {
            spa_hook_remove(&streamHook_);
            // Its buffers, ours included, go back with it.
            pw_stream_destroy(stream_);
        }
        if (registry_) {
            spa_hook_remove(&registryHook_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        }
    }
    connection_.reset();
}

bool Source::prepare(const StreamConfiguration& c, std::size_t& width, std::size_t& height,
                     ErrorPtr& error) {
    int fd = std::exchange(options_.remoteFd, -1);
    connection_ = Connection::open(fd, error);
    if (!connection_) {
        return false;
    }
    // No more frames than the stream can use. The writer takes a frame as soon as 0.75 of
    // its interval has passed, so the producer is allowed that much more: a producer that
    // throttles to exactly the rate on its own paint clock (a shell painting at 60 Hz) would
    // otherwise miss every other slot it comes late to, and send about 24 frames where 30
    // were asked for.
    auto interval = std::chrono::duration_cast<std::chrono::nanoseconds>(media::frameInterval(c));
    std::int64_t perSecond = (4 * 1000000000LL + 3 * interval.count() / 2) /
                             std::max<std::int64_t>(3 * interval.count(), 1);
    auto fps = static_cast<std::uint32_t>(std::clamp<std::int64_t>(perSecond, 1, 1000));
    Connection::Lock lock(*connection_);
    connect(fps);
    if (!stream_) {
        error = makeError(streamEnded, "could not make a PipeWire stream");
        return false;
    }
    // The registry has told every node once the roundtrip is over: a node not among them
    // is gone already.
    if (!connection_->sync(lock, Clock::now() + firstPicture, error)) {
        return false;
    }
    {
        std::lock_guard guard(mutex_);
        if (!nodeSeen_ && !cause_) {
            cause_ = makeError(streamEnded, "the PipeWire node is gone");
        }
    }
    auto deadline = Clock::now() + firstPicture;
    for (;;) {
        {
            std::lock_guard guard(mutex_);
            if (cause_) {
                break;
            }
            if (incoming_.buffer) {
                width = incoming_.width;
                height = incoming_.height;
                std::string problem;
                if (!media::frameSize(c, width, height, problem)) {
                    error = makeError(streamEnded, std::move(problem));
                    return false;
                }
                return true;
            }
        }
        if (!connection_->wait(lock, deadline) && Clock::now() >= deadline) {
            error = makeError(timedOut, "the PipeWire stream sent no picture");
            return false;
        }
    }
    // Asked here, on the starting thread, as the capture thread would.
    error = ending();
    return false;
}

void Source::connect(std::uint32_t fps) {
    registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents_.global = [](void* data, std::uint32_t id, std::uint32_t, const char*,
                                std::uint32_t, const spa_dict*) {
        auto* self = static_cast<Source*>(data);
        if (id == self->options_.node) {
            self->nodeSeen_ = true;
        }
    };
    registryEvents_.global_remove = [](void* data, std::uint32_t id) {
        auto* self = static_cast<Source*>(data);
        if (id == self->options_.node) {
            self->end(makeError(streamEnded, "the PipeWire node is gone"));
        }
    };
    registry_ = pw_core_get_registry(connection_->core(), PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryHook_, &registryEvents_, this);
    connection_->onBreak([this](const ErrorPtr& e) { end(e); });

    stream_ = pw_stream_new(connection_->core(), "lumatap",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream_) {
        return;
    }
    streamEvents_.version = PW_VERSION_STREAM_EVENTS;
    streamEvents_.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                     const char* message) {
        static_cast<Source*>(data)->stateChanged(state, message);
    };
    streamEvents_.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        static_cast<Source*>(data)->paramChanged(id, param);
    };
    streamEvents_.remove_buffer = [](void* data, pw_buffer* buffer) {
        static_cast<Source*>(data)->removeBuffer(buffer);
    };
    streamEvents_.process = [](void* data) { static_cast<Source*>(data)->process(); };
    streamEvents_.add_buffer = [](void*, pw_buffer* buffer) {
        // Marked when its memory is mapped writable: then the pointer may be drawn in place.
        const spa_buffer& b = *buffer->buffer;
        bool writable = b.n_datas > 0 && b.datas[0].data &&
                        (b.datas[0].flags & SPA_DATA_FLAG_WRITABLE) &&
                        mappedWritable(b.datas[0].data, b.datas[0].maxsize);
        buffer->user_data = writable ? buffer : nullptr;
    };
    pw_stream_add_listener(stream_, &streamHook_, &streamEvents_, this);

    std::uint8_t room[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(room, sizeof(room));
    spa_pod_frame f;
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&b, offered[0]);
    for (std::uint32_t format : offered) {
        spa_pod_builder_id(&b, format);
    }
    spa_pod_builder_pop(&b, &choice);
    spa_rectangle size{1280, 720}, smallest{1, 1}, largest{16384, 16384};
    spa_fraction none{0, 1}, most{1000, 1}, rate{fps, 1}, one{1, 1};
    spa_pod_builder_add(
        &b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&none, &none, &most),
        SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &one, &rate), 0);
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f)),
    };
    pw_stream_connect(stream_, SPA_DIRECTION_INPUT, options_.node,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                   PW_STREAM_FLAG_MAP_BUFFERS |
                                                   PW_STREAM_FLAG_DONT_RECONNECT),
                      params, 1);
}

void Source::paramChanged(std::uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format || !param) {
        return;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0 || !layoutOf(info.format) ||
        info.size.width == 0 || info.size.height == 0) {
        pw_stream_set_error(stream_, -EINVAL, "unusable video format");
        return;
    }
    format_ = info;
    layout_ = layoutOf(info.format);
    // Shared memory only: a DMA buffer would need a GPU to read.
    std::uint8_t room[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(room, sizeof(room));
    auto region = static_cast<int>(sizeof(spa_meta_region));
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(region))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(region * damageRoom, region, region * damageRoom))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1),
                                     cursorMetaSize(largestCursor, largestCursor)))),
    };
    // Only metadata wanted is asked for: a cursor's would be drawn, one drawn in need not.
    std::uint32_t count = options_.pointer == PointerMode::metadata ? 5 : 4;
    pw_stream_update_params(stream_, params, count);
}

void Source::stateChanged(pw_stream_state state, const char* message) {
    if (state == PW_STREAM_STATE_STREAMING) {
        streaming_ = true;
    } else if (state == PW_STREAM_STATE_ERROR) {
        end(makeError(streamEnded,
                      std::string("the PipeWire stream failed: ") + (message ? message : "")));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
        end(makeError(streamEnded, "the PipeWire stream was disconnected"));
    }
}

void Source::end(ErrorPtr cause) {
    {
        std::lock_guard guard(mutex_);
        if (!cause_) {
            cause_ = std::move(cause);
        }
    }
    changed_.notify_all();
    connection_->signal();
}

void Source::removeBuffer(pw_buffer* buffer) {
    // A view of the buffer may be in use on the capture thread: its memory stays until the
    // read is over.
    std::lock_guard reading(reading_);
    std::lock_guard guard(mutex_);
    if (current_.buffer == buffer) {
        current_ = {};
        whole_ = true;
    }
    if (incoming_.buffer == buffer) {
        incoming_ = {};
        whole_ = true;
    }
}

void Source::process() {
    bool news = false;
    {
        std::lock_guard guard(mutex_);
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
            Picture picture;
            if (!take(buffer, picture)) {
                // Cursor news alone, or nothing usable: the picture stays the one before.
                pw_stream_queue_buffer(stream_, buffer);
                news = news || cursorNews_;
                continue;
            }
            if (incoming_.buffer) {
                pw_stream_queue_buffer(stream_, incoming_.buffer);
            }
            incoming_ = picture;
            news = true;
        }
    }
    if (news) {
        changed_.notify_all();
        connection_->signal();
    }
}

bool Source::take(pw_buffer* buffer, Picture& picture) {
    const spa_buffer& b = *buffer->buffer;
    if (options_.pointer == PointerMode::metadata) {
        takeCursor(b);
    }
    if (!layout_ || b.n_datas < 1 || !b.datas[0].data || !b.datas[0].chunk) {
        return false;
    }
    const spa_data& d = b.datas[0];
    if ((d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) || d.chunk->size == 0) {
        return false;
    }
    if (const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(&b, SPA_META_Header, sizeof(spa_meta_header)))) {
        if (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) {
            return false;
        }
    }
    std::size_t frameWidth = format_.size.width;
    std::size_t frameHeight = format_.size.height;
    std::size_t stride =
        d.chunk->stride > 0 ? static_cast<std::size_t>(d.chunk->stride) : frameWidth * 4;
    std::size_t offset = d.chunk->offset % std::max<std::uint32_t>(d.maxsize, 1);
    // The producer's word is not trusted with our reads: every row must lie in the memory.
    if (stride < frameWidth * 4 ||
        offset + stride * (frameHeight - 1) + frameWidth * 4 > d.maxsize) {
        return false;
    }
    std::size_t x = 0, y = 0, width = frameWidth, height = frameHeight;
    if (const auto* crop = static_cast<const spa_meta_region*>(
            spa_buffer_find_meta_data(&b, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
        const spa_region& r = crop->region;
        if (spa_meta_region_is_valid(crop) && r.position.x >= 0 && r.position.y >= 0 &&
            static_cast<std::size_t>(r.position.x) + r.size.width <= frameWidth &&
            static_cast<std::size_t>(r.position.y) + r.size.height <= frameHeight) {
            x = static_cast<std::size_t>(r.position.x);
            y = static_cast<std::size_t>(r.position.y);
            width = r.size.width;
            height = r.size.height;
        }
    }
    picture.buffer = buffer;
    picture.pixels = static_cast<const std::uint8_t*>(d.data) + offset + y * stride + x * 4;
    picture.width = width;
    picture.height = height;
    picture.stride = stride;
    picture.layout = *layout_;
    picture.writable = buffer->user_data != nullptr;
    picture.cropX = static_cast<std::int64_t>(x);
    picture.cropY = static_cast<std::int64_t>(y);
    takeDamage(b, picture, latest_);
    latest_ = picture;
    return true;
}

void Source::takeDamage(const spa_buffer& b, const Picture& picture, const Picture& before) {
    // A picture of another size or crop is read whole.
    if (picture.width != before.width || picture.height != before.height ||
        picture.cropX != before.cropX || picture.cropY != before.cropY) {
        whole_ = true;
    }
    spa_meta* meta = spa_buffer_find_meta(&b, SPA_META_VideoDamage);
    if (!meta) {
        whole_ = true;
    }
    if (whole_) {
        damage_.clear();
        return;
    }
    std::size_t found = 0;
    spa_meta_region* r;
    spa_meta_for_each(r, meta) {
        if (!spa_meta_region_is_valid(r)) {
            break;
        }
        ++found;
        // In the producer's frame; ours is the crop.
        std::int64_t x0 = std::max<std::int64_t>(r->region.position.x - picture.cropX, 0);
        std::int64_t y0 = std::max<std::int64_t>(r->region.position.y - picture.cropY, 0);
        std::int64_t x1 = std::min<std::int64_t>(
            r->region.position.x - picture.cropX + static_cast<std::int64_t>(r->region.size.width),
            static_cast<std::int64_t>(picture.width));
        std::int64_t y1 = std::min<std::int64_t>(
            r->region.position.y - picture.cropY + static_cast<std::int64_t>(r->region.size.height),
            static_cast<std::int64_t>(picture.height));
        if (x1 > x0 && y1 > y0) {
            damage_.push_back({static_cast<std::size_t>(x0), static_cast<std::size_t>(y0),
                               static_cast<std::size_t>(x1 - x0),
                               static_cast<std::size_t>(y1 - y0)});
        }
    }
    // A damage list that says nothing is no promise that nothing changed.
    if (found == 0 || damage_.size() > mostDamage) {
        whole_ = true;
        damage_.clear();
    }
}

void Source::takeCursor(const spa_buffer& b) {
    spa_meta* meta = spa_buffer_find_meta(&b, SPA_META_Cursor);
    if (!meta || meta->size < sizeof(spa_meta_cursor)) {
        return;
    }
    const auto* c = static_cast<const spa_meta_cursor*>(meta->data);
    if (!spa_meta_cursor_is_valid(c)) {
        // The producer's word for a pointer outside the picture, or none to show.
        if (cursor_.visible) {
            cursor_.visible = false;
            cursorNews_ = true;
        }
        return;
    }
    if (c->bitmap_offset >= sizeof(spa_meta_cursor) &&
        c->bitmap_offset + sizeof(spa_meta_bitmap) <= meta->size) {
        const auto* bitmap = reinterpret_cast<const spa_meta_bitmap*>(
            static_cast<const std::uint8_t*>(meta->data) + c->bitmap_offset);
        auto layout = layoutOf(bitmap->format);
        std::size_t w = bitmap->size.width, h = bitmap->size.height;
        std::size_t stride = bitmap->stride > 0 ? static_cast<std::size_t>(bitmap->stride) : w * 4;
        std::size_t start = c->bitmap_offset + std::size_t{bitmap->offset};
        if (bitmap->format == 0) {
            // No new image after all.
        } else if (bitmap->offset == 0 || w == 0 || h == 0) {
            // An empty image: the pointer is there but shows nothing.
            cursor_.width = cursor_.height = 0;
            cursorImageNews_ = true;
        } else if (layout && stride >= w * 4 && w <= largestCursor && h <= largestCursor &&
                   start + stride * (h - 1) + w * 4 <= meta->size) {
            cursor_.image.resize(w * h);
            copyPixels(static_cast<const std::uint8_t*>(meta->data) + start, stride, *layout, w, h,
                       reinterpret_cast<std::uint8_t*>(cursor_.image.data()), w * 4);
            cursor_.width = w;
            cursor_.height = h;
            cursor_.hotspotX = c->hotspot.x;
            cursor_.hotspotY = c->hotspot.y;
            cursorImageNews_ = true;
        }
    }
    if (!cursor_.visible || cursor_.x != c->position.x || cursor_.y != c->position.y ||
        cursorImageNews_) {
        cursor_.visible = true;
        cursor_.x = c->position.x;
        cursor_.y = c->position.y;
        cursorNews_ = true;
    }
}

void Source::pin() const {
    if (!pinned_) {
        reading_.lock();
        pinned_ = true;
    }
}

void Source::unpin() const {
    if (savedAt_) {
        for (std::size_t y = 0; y < savedRows_; ++y) {
            std::memcpy(savedAt_ + y * savedStride_, saved_.data() + y * savedRow_, savedRow_);
        }
        savedAt_ = nullptr;
    }
    if (pinned_) {
        pinned_ = false;
        reading_.unlock();
    }
}

bool Source::pending() const {
    unpin();
    std::lock_guard guard(mutex_);
    return incoming_.buffer || cursorNews_ || cause_;
}

bool Source::wait(Clock::time_point deadline) {
    unpin();
    std::unique_lock guard(mutex_);
    return changed_.wait_until(guard, deadline,
                               [this] { return incoming_.buffer || cursorNews_ || cause_; });
}

ErrorPtr Source::ending() {
    if (!ending_) {
        if (options_.ending) {
            ending_ = options_.ending();
        }
        if (!ending_) {
            std::lock_guard guard(mutex_);
            ending_ = cause_ ? cause_ : makeError(streamEnded, "the PipeWire stream ended");
        }
    }
    return ending_;
}

bool Source::report(media::Changes& changes, ErrorPtr& error) {
    unpin();
    bool over = false;
    {
        Connection::Lock lock(*connection_);
        std::lock_guard guard(mutex_);
        over = cause_ != nullptr;
        if (!over) {
            if (incoming_.buffer) {
                // The one read so far goes back to the producer for its next picture.
                if (current_.buffer) {
                    pw_stream_queue_buffer(stream_, current_.buffer);
                }
                current_ = std::exchange(incoming_, {});
            }
            changes.whole = whole_ || first_;
            whole_ = false;
            reported_.swap(damage_);
            damage_.clear();
            if (cursorNews_) {
                pointer_.visible = cursor_.visible;
                pointer_.x = cursor_.x;
                pointer_.y = cursor_.y;
                pointer_.hotspotX = cursor_.hotspotX;
                pointer_.hotspotY = cursor_.hotspotY;
                if (cursorImageNews_) {
                    // Both keep their capacity: no allocation once the largest image came.
                    pointer_.image.resize(cursor_.width * cursor_.height);
                    std::copy_n(cursor_.image.begin(), pointer_.image.size(),
                                pointer_.image.begin());
                    pointer_.width = cursor_.width;
                    pointer_.height = cursor_.height;
                    changes.pointerChanged = true;
                }
                cursorNews_ = cursorImageNews_ = false;
            }
            // Read under the locks: PipeWire may take the buffer back at any time otherwise.
            changes.width = current_.width;
            changes.height = current_.height;
            if (auto corner = pointerCorner()) {
                changes.pointer =
                    media::PointerImage{pointer_.image.data(), pointer_.width, pointer_.height,
                                        corner->first, corner->second};
            }
        }
    }
    if (over) {
        error = ending();
        return false;
    }
    first_ = false;
    if (!changes.whole) {
        changes.damage.insert(changes.damage.end(), reported_.begin(), reported_.end());
    }
    reported_.clear();
    return true;
}

std::optional<std::pair<std::int64_t, std::int64_t>> Source::pointerCorner() const {
    if (options_.pointer != PointerMode::metadata || !pointer_.visible || pointer_.width == 0 ||
        !current_.buffer) {
        return std::nullopt;
    }
    return std::pair{pointer_.x - pointer_.hotspotX - current_.cropX,
                     pointer_.y - pointer_.hotspotY - current_.cropY};
}

std::optional<BgraView> Source::read(const Area& area, ErrorPtr& error) {
    // What the stream drew on the last view goes first.
    unpin();
    pin();
    if (!current_.buffer) {
        std::unique_lock guard(mutex_);
        if (cause_) {
            guard.unlock();
            error = ending();
        }
        return std::nullopt;
    }
    const Picture& p = current_;
    if (area.x + area.width > p.width || area.y + area.height > p.height) {
        return std::nullopt;
    }
    const std::uint8_t* corner = p.pixels + area.y * p.stride + area.x * 4;
    auto pointer = pointerCorner();
    bool drawnOn = pointer && intersects(area, pointer->first, pointer->second, pointer_.width,
                                         pointer_.height);
    if (p.layout.bgra() && !drawnOn) {
        // Read in place: nothing is drawn on the producer's memory.
        return BgraView{corner, area.width, area.height, p.stride};
    }
    if (p.layout.bgra() && p.writable) {
        // Read in place all the same, with the pixels under the pointer kept to be put back:
        // a pointer over a changing screen then costs its own size, not the picture's.
        std::int64_t left = std::max<std::int64_t>(pointer->first, area.x);
        std::int64_t top = std::max<std::int64_t>(pointer->second, area.y);
        std::int64_t right = std::min<std::int64_t>(
            pointer->first + static_cast<std::int64_t>(pointer_.width), area.x + area.width);
        std::int64_t bottom = std::min<std::int64_t>(
            pointer->second + static_cast<std::int64_t>(pointer_.height), area.y + area.height);
        savedRow_ = static_cast<std::size_t>(right - left) * 4;
        savedRows_ = static_cast<std::size_t>(bottom - top);
        savedStride_ = p.stride;
        if (saved_.size() < savedRow_ * savedRows_) {
            saved_.resize(savedRow_ * savedRows_);
        }
        savedAt_ = const_cast<std::uint8_t*>(p.pixels) + static_cast<std::size_t>(top) * p.stride +
                   static_cast<std::size_t>(left) * 4;
        for (std::size_t y = 0; y < savedRows_; ++y) {
            std::memcpy(saved_.data() + y * savedRow_, savedAt_ + y * savedStride_, savedRow_);
        }
        return BgraView{corner, area.width, area.height, p.stride};
    }
    // The stream draws the pointer on what it reads, which must not be the producer's
    // memory, nor a buffer whose other parts are read again later.
    std::size_t bytes = area.width * area.height * 4;
    if (scratch_.size() < bytes) {
        scratch_.resize(bytes);
    }
    copyPixels(corner, p.stride, p.layout, area.width, area.height, scratch_.data(),
               area.width * 4);
    return BgraView{scratch_.data(), area.width, area.height, area.width * 4};
}

} // namespace

std::unique_ptr<media::FrameSource> makeSource(SourceOptions options) {
    return std::make_unique<Source>(std::move(options));
}

} // namespace lumatap::pipewire
