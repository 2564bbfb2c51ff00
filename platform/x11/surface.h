// Desktop pixels in CPU memory, 32-bit BGRA rows of width * 4 bytes: a shared-memory
// segment the server writes into, or plain memory (posix::Surface) that GetImage replies
// are copied into.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/posix/surface.h"
#include "platform/x11/connection.h"

namespace vistrel::x11 {

using posix::blank_surface;
using posix::Surface;
using posix::SurfacePtr;

// The pixels of a whole-image GetImage reply, made opaque where they lie (unless the
// caller ignores the fourth bytes): taken over rather than copied, so reading over the
// socket costs no more than the request itself.
SurfacePtr reply_surface(Reply<xcb_get_image_reply_t> reply, const XcbApi& api, std::uint32_t width,
                         std::uint32_t height, bool opaque = true);

// A shared-memory segment attached on `connection` as `segment()`, or null when the
// server cannot attach it (no MIT-SHM, another IPC namespace, a remote display). The
// segment is removed as soon as both sides hold it, so no exit ever leaks it.
class ShmSurface final : public Surface {
public:
    static std::shared_ptr<ShmSurface> create(std::shared_ptr<Connection> connection, std::uint32_t width,
                                              std::uint32_t height);
    ~ShmSurface() override;
    xcb_shm_seg_t segment() const { return segment_; }
    // Maps the pages the server has written into this process in one call, once: touching
    // a new segment's pages one fault at a time cost a 1080p frame about 2 ms. Harmless
    // where the kernel (before 5.14) does not know the call.
    void map_written_pages();

private:
    ShmSurface(std::shared_ptr<Connection> connection, std::uint32_t width, std::uint32_t height, std::uint8_t* data,
               xcb_shm_seg_t segment)
        : Surface(width, height, data), connection_(std::move(connection)), segment_(segment) {}

    std::shared_ptr<Connection> connection_;
    xcb_shm_seg_t segment_;
    bool pages_mapped_ = false;  // a reused segment's pages stay mapped
};

}  // namespace vistrel::x11
