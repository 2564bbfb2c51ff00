// A wl_shm buffer: memory both sides map, which the compositor copies a frame into.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/wayland/connection.h"

namespace vistrel::wayland {

class ShmBuffer {
public:
    // A buffer of `height` rows of `stride` bytes in `format` on `shm`; null with `failure`
    // filled when memory cannot be had.
    static std::unique_ptr<ShmBuffer> create(Connection& connection, wl_proxy* shm, std::uint32_t width,
                                             std::uint32_t height, std::uint32_t stride, std::uint32_t format,
                                             WlFailure& failure);
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;
    ~ShmBuffer();

    bool fits(std::uint32_t width, std::uint32_t height, std::uint32_t stride, std::uint32_t format) const {
        return width == width_ && height == height_ && stride == stride_ && format == format_;
    }
    wl_proxy* buffer() const { return buffer_.get(); }
    const std::uint8_t* row(std::uint32_t y) const { return data_ + std::size_t{y} * stride_; }

private:
    ShmBuffer(std::uint32_t width, std::uint32_t height, std::uint32_t stride, std::uint32_t format)
        : width_(width), height_(height), stride_(stride), format_(format) {}

    std::uint32_t width_, height_, stride_, format_;
    std::uint8_t* data_ = nullptr;  // mapped, size_ bytes
    std::size_t size_ = 0;
    Proxy buffer_;
};

}  // namespace vistrel::wayland
