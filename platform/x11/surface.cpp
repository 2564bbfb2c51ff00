#include "platform/x11/surface.h"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

namespace vistrel::x11 {
namespace {

class ReplySurface final : public Surface {
public:
    ReplySurface(Reply<xcb_get_image_reply_t> reply, std::uint8_t* data, std::uint32_t width, std::uint32_t height)
        : Surface(width, height, data), reply_(std::move(reply)) {}

private:
    Reply<xcb_get_image_reply_t> reply_;
};

}  // namespace

SurfacePtr reply_surface(Reply<xcb_get_image_reply_t> reply, const XcbApi& api, std::uint32_t width,
                         std::uint32_t height, bool opaque) {
    auto* data = api.xcb_get_image_data(reply.get());
    auto surface = std::make_shared<ReplySurface>(std::move(reply), data, width, height);
    if (opaque) surface->make_rows_opaque(0, height);
    return surface;
}

std::shared_ptr<ShmSurface> ShmSurface::create(std::shared_ptr<Connection> connection, std::uint32_t width,
                                               std::uint32_t height) {
    const XcbApi& x = connection->api();
    const std::size_t bytes = std::size_t{width} * height * 4;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return nullptr;
    }
    const xcb_shm_seg_t segment = x.xcb_generate_id(connection->get());
    Reply<xcb_generic_error_t> error(
        x.xcb_request_check(connection->get(), x.xcb_shm_attach_checked(connection->get(), segment, id, 0)));
    // Both sides hold it (or the server never will): from here it lives only as long as they do.
    shmctl(id, IPC_RMID, nullptr);
    if (error || connection->broken()) {
        // Unanswered in time (the bounded check's stand-in error has code 0): the server
        // may still attach it, and would hold it for as long as the connection lives.
        // Detaching a segment it never attached only earns an error event, which the
        // event reader skips.
        if (!connection->broken() && error->error_code == 0) {
            x.xcb_shm_detach(connection->get(), segment);
            x.xcb_flush(connection->get());
        }
        shmdt(address);
        return nullptr;
    }
    return std::shared_ptr<ShmSurface>(
        new ShmSurface(std::move(connection), width, height, static_cast<std::uint8_t*>(address), segment));
}

void ShmSurface::map_written_pages() {
    if (pages_mapped_) return;
    pages_mapped_ = true;
#ifdef MADV_POPULATE_WRITE
    (void)madvise(data(), std::size_t{pitch()} * height(), MADV_POPULATE_WRITE);
#endif
}

ShmSurface::~ShmSurface() {
    if (!connection_->broken()) {
        connection_->api().xcb_shm_detach(connection_->get(), segment_);
        connection_->api().xcb_flush(connection_->get());
    }
    shmdt(data());
}

}  // namespace vistrel::x11
