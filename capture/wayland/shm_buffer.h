// A wl_buffer over memory shared with the compositor, for it to copy frames into.
#pragma once

#include "capture/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct wl_shm;
struct wl_shm_pool;
struct wl_buffer;

namespace lumatap::wayland {

struct ShmBuffer {
    int fd = -1;
    void* data = nullptr;
    std::size_t size = 0;
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffer = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint32_t format = 0;

    ShmBuffer() = default;
    ~ShmBuffer();
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    // None, with `error` (captureFailed), for a size no real picture has or memory that
    // cannot be had. A stride of 0 means rows of exactly `width` pixels.
    static std::unique_ptr<ShmBuffer> make(wl_shm* shm, std::uint32_t width, std::uint32_t height,
                                           std::uint32_t stride, std::uint32_t format,
                                           ErrorPtr& error);
};

} // namespace lumatap::wayland
