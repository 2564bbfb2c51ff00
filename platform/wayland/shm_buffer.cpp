#include "platform/wayland/shm_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/wayland/protocols.h"

namespace vistrel::wayland {
namespace {

// The file behind the memory, closed once the compositor holds its own descriptor.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::unique_ptr<ShmBuffer> ShmBuffer::create(Connection& connection, wl_proxy* shm, std::uint32_t width,
                                             std::uint32_t height, std::uint32_t stride, std::uint32_t format,
                                             WlFailure& failure) {
    std::unique_ptr<ShmBuffer> buffer(new ShmBuffer(width, height, stride, format));
    const std::size_t size = std::size_t{stride} * height;
    auto out_of_memory = [&](const char* what) {
        failure = {E_OUTOFMEMORY,
                   std::string("cannot make a shared-memory buffer: ") + what + ": " + std::strerror(errno)};
        return nullptr;
    };
    if (size == 0 || size > 0x7FFFFFFF) {
        errno = EINVAL;
        return out_of_memory("size");
    }
    // An anonymous file: nothing to name, nothing left behind by any exit.
    const FileDescriptor file{memfd_create("vistrel-frame", MFD_CLOEXEC)};
    if (file.fd < 0) return out_of_memory("memfd_create");
    if (ftruncate(file.fd, static_cast<off_t>(size)) != 0) return out_of_memory("ftruncate");
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd, 0);
    if (data == MAP_FAILED) return out_of_memory("mmap");
    buffer->data_ = static_cast<std::uint8_t*>(data);
    buffer->size_ = size;
    const WaylandApi& api = connection.api();
    Proxy pool = connection.own(connection.create(shm, request::kShmCreatePool, api.wl_shm_pool_interface, 1, nullptr,
                                                  file.fd, static_cast<std::int32_t>(size)),
                                request::kShmPoolDestroy);
    // The buffer keeps the pool's memory alive on the compositor's side after the pool goes.
    buffer->buffer_ =
        connection.own(connection.create(pool.get(), request::kShmPoolCreateBuffer, api.wl_buffer_interface, 1, nullptr,
                                         0, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                                         static_cast<std::int32_t>(stride), format),
                       request::kBufferDestroy);
    return buffer;
}

ShmBuffer::~ShmBuffer() {
    buffer_.reset();
    if (data_) munmap(data_, size_);
}

}  // namespace vistrel::wayland
