#include "capture/wayland/shm_buffer.h"

#include "capture/wayland/connection.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace lumatap::wayland {
namespace {

ErrorPtr failure(std::string description) {
    return makeError(std::string(errorDomain), captureFailed, std::move(description));
}

} // namespace

ShmBuffer::~ShmBuffer() {
    if (buffer) {
        wl_buffer_destroy(buffer);
    }
    if (pool) {
        wl_shm_pool_destroy(pool);
    }
    if (data) {
        ::munmap(data, size);
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

std::unique_ptr<ShmBuffer> ShmBuffer::make(wl_shm* shm, std::uint32_t width, std::uint32_t height,
                                           std::uint32_t stride, std::uint32_t format,
                                           ErrorPtr& error) {
    auto b = std::make_unique<ShmBuffer>();
    b->width = width;
    b->height = height;
    b->stride = stride ? stride : width * 4;
    b->format = format;
    if (width == 0 || height == 0 || width > 32768 || height > 32768 || b->stride < width * 4 ||
        b->stride > 4 * 32768 + 4096) {
        error = failure("the compositor asks for a frame of " + std::to_string(width) + "x" +
                        std::to_string(height) + " pixels");
        return nullptr;
    }
    b->size = static_cast<std::size_t>(b->stride) * height;
    b->fd = ::memfd_create("lumatap-frame", MFD_CLOEXEC);
    if (b->fd < 0 || ::ftruncate(b->fd, static_cast<off_t>(b->size)) != 0) {
        error = failure(std::string("cannot make a frame buffer: ") + std::strerror(errno));
        return nullptr;
    }
    void* mapped = ::mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, b->fd, 0);
    if (mapped == MAP_FAILED) {
        error = failure(std::string("cannot map a frame buffer: ") + std::strerror(errno));
        return nullptr;
    }
    b->data = mapped;
    b->pool = wl_shm_create_pool(shm, b->fd, static_cast<std::int32_t>(b->size));
    b->buffer = wl_shm_pool_create_buffer(b->pool, 0, static_cast<std::int32_t>(width),
                                          static_cast<std::int32_t>(height),
                                          static_cast<std::int32_t>(b->stride), format);
    return b;
}

} // namespace lumatap::wayland
