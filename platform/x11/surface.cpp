#include "platform/x11/surface.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <new>

namespace vistrel::x11 {
namespace {

class HeapSurface final : public Surface {
public:
    static std::shared_ptr<HeapSurface> create(std::uint32_t width, std::uint32_t height) {
        std::unique_ptr<std::uint8_t[]> memory(new (std::nothrow) std::uint8_t[std::size_t{width} * height * 4]);
        if (!memory) return nullptr;
        return std::shared_ptr<HeapSurface>(new HeapSurface(width, height, std::move(memory)));
    }

private:
    HeapSurface(std::uint32_t width, std::uint32_t height, std::unique_ptr<std::uint8_t[]> memory)
        : Surface(width, height, memory.get()), memory_(std::move(memory)) {}
    std::unique_ptr<std::uint8_t[]> memory_;
};

class ReplySurface final : public Surface {
public:
    ReplySurface(Reply<xcb_get_image_reply_t> reply, std::uint8_t* data, std::uint32_t width, std::uint32_t height)
        : Surface(width, height, data), reply_(std::move(reply)) {}

private:
    Reply<xcb_get_image_reply_t> reply_;
};

}  // namespace

SurfacePtr reply_surface(Reply<xcb_get_image_reply_t> reply, const XcbApi& api, std::uint32_t width,
                         std::uint32_t height) {
    auto* data = api.xcb_get_image_data(reply.get());
    auto surface = std::make_shared<ReplySurface>(std::move(reply), data, width, height);
    surface->make_rows_opaque(0, height);
    return surface;
}

void Surface::copy_rows_opaque(std::uint32_t top, std::uint32_t bottom, const std::uint8_t* rows) {
    auto* words = reinterpret_cast<std::uint32_t*>(data_) + std::size_t{top} * width_;
    const std::size_t count = std::size_t{bottom - top} * width_;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word;
        std::memcpy(&word, rows + i * 4, 4);
        words[i] = word | 0xFF000000u;
    }
}

void Surface::make_rows_opaque(std::uint32_t top, std::uint32_t bottom) {
    auto* words = reinterpret_cast<std::uint32_t*>(data_) + std::size_t{top} * width_;
    const std::size_t count = std::size_t{bottom - top} * width_;
    for (std::size_t i = 0; i < count; ++i) words[i] |= 0xFF000000u;
}

SurfacePtr blank_surface(std::uint32_t width, std::uint32_t height) {
    auto surface = HeapSurface::create(width, height);
    if (!surface) return nullptr;
    std::memset(surface->data(), 0, surface->size());
    surface->make_rows_opaque(0, height);
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
        shmdt(address);
        return nullptr;
    }
    return std::shared_ptr<ShmSurface>(
        new ShmSurface(std::move(connection), width, height, static_cast<std::uint8_t*>(address), segment));
}

ShmSurface::~ShmSurface() {
    if (!connection_->broken()) {
        connection_->api().xcb_shm_detach(connection_->get(), segment_);
        connection_->api().xcb_flush(connection_->get());
    }
    shmdt(data());
}

}  // namespace vistrel::x11
