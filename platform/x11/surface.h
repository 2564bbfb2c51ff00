// Desktop pixels in CPU memory, 32-bit BGRA rows of width * 4 bytes: a shared-memory
// segment the server writes into, or plain memory that GetImage replies are copied into.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/x11/connection.h"

namespace vistrel::x11 {

class Surface {
public:
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    virtual ~Surface() = default;

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::uint32_t pitch() const { return width_ * 4; }
    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return std::size_t{width_} * height_ * 4; }

    // X leaves junk in the fourth byte; a read sees 255 there, as on Windows.
    void make_rows_opaque(std::uint32_t top, std::uint32_t bottom);
    // Rows [top, bottom) from packed rows of the same width, made opaque in the same pass.
    void copy_rows_opaque(std::uint32_t top, std::uint32_t bottom, const std::uint8_t* rows);

protected:
    Surface(std::uint32_t width, std::uint32_t height, std::uint8_t* data)
        : width_(width), height_(height), data_(data) {}

private:
    std::uint32_t width_, height_;
    std::uint8_t* data_;
};

using SurfacePtr = std::shared_ptr<Surface>;

// Black, opaque; null when memory is short.
SurfacePtr blank_surface(std::uint32_t width, std::uint32_t height);

// The pixels of a whole-image GetImage reply, made opaque where they lie: taken over rather
// than copied, so reading over the socket costs no more than the request itself.
SurfacePtr reply_surface(Reply<xcb_get_image_reply_t> reply, const XcbApi& api, std::uint32_t width,
                         std::uint32_t height);

// A shared-memory segment attached on `connection` as `segment()`, or null when the
// server cannot attach it (no MIT-SHM, another IPC namespace, a remote display). The
// segment is removed as soon as both sides hold it, so no exit ever leaks it.
class ShmSurface final : public Surface {
public:
    static std::shared_ptr<ShmSurface> create(std::shared_ptr<Connection> connection, std::uint32_t width,
                                              std::uint32_t height);
    ~ShmSurface() override;
    xcb_shm_seg_t segment() const { return segment_; }

private:
    ShmSurface(std::shared_ptr<Connection> connection, std::uint32_t width, std::uint32_t height, std::uint8_t* data,
               xcb_shm_seg_t segment)
        : Surface(width, height, data), connection_(std::move(connection)), segment_(segment) {}

    std::shared_ptr<Connection> connection_;
    xcb_shm_seg_t segment_;
};

}  // namespace vistrel::x11
