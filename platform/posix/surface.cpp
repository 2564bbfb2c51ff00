#include "platform/posix/surface.h"

#include <cstring>
#include <new>

namespace vistrel::posix {
namespace {

class HeapSurface final : public Surface {
public:
    HeapSurface(std::uint32_t width, std::uint32_t height, std::unique_ptr<std::uint8_t[]> memory)
        : Surface(width, height, memory.get()), memory_(std::move(memory)) {}

private:
    std::unique_ptr<std::uint8_t[]> memory_;
};

}  // namespace

void Surface::make_rows_opaque(std::uint32_t top, std::uint32_t bottom) {
    auto* words = reinterpret_cast<std::uint32_t*>(data_) + std::size_t{top} * width_;
    const std::size_t count = std::size_t{bottom - top} * width_;
    for (std::size_t i = 0; i < count; ++i) words[i] |= 0xFF000000u;
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

SurfacePtr heap_surface(std::uint32_t width, std::uint32_t height) {
    std::unique_ptr<std::uint8_t[]> memory(new (std::nothrow) std::uint8_t[std::size_t{width} * height * 4]);
    if (!memory) return nullptr;
    return std::make_shared<HeapSurface>(width, height, std::move(memory));
}

SurfacePtr blank_surface(std::uint32_t width, std::uint32_t height) {
    SurfacePtr surface = heap_surface(width, height);
    if (!surface) return nullptr;
    std::memset(surface->data(), 0, surface->size());
    surface->make_rows_opaque(0, height);
    return surface;
}

}  // namespace vistrel::posix
