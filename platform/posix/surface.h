// Desktop pixels in CPU memory, 32-bit BGRA rows of `pitch` bytes (width * 4 unless made
// otherwise), shared by the providers that keep frames off the GPU.
#pragma once

#include <cstdint>
#include <memory>

namespace vistrel::posix {

class Surface {
public:
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    virtual ~Surface() = default;

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::uint32_t pitch() const { return pitch_; }
    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return std::size_t{pitch_} * height_; }

    // Servers leave junk in the fourth byte; a read sees 255 there, as on Windows.
    void make_rows_opaque(std::uint32_t top, std::uint32_t bottom);
    // Rows [top, bottom) from packed rows of the same width, made opaque in the same pass.
    void copy_rows_opaque(std::uint32_t top, std::uint32_t bottom, const std::uint8_t* rows);

protected:
    Surface(std::uint32_t width, std::uint32_t height, std::uint8_t* data) : Surface(width, height, width * 4, data) {}
    Surface(std::uint32_t width, std::uint32_t height, std::uint32_t pitch, std::uint8_t* data)
        : width_(width), height_(height), pitch_(pitch), data_(data) {}

private:
    std::uint32_t width_, height_, pitch_;
    std::uint8_t* data_;
};

using SurfacePtr = std::shared_ptr<Surface>;

// Uninitialised heap pixels in rows of `pitch` bytes, at least width * 4; null when memory
// is short.
SurfacePtr heap_surface(std::uint32_t width, std::uint32_t height, std::uint32_t pitch);
inline SurfacePtr heap_surface(std::uint32_t width, std::uint32_t height) {
    return heap_surface(width, height, width * 4);
}
// Black, opaque; null when memory is short.
SurfacePtr blank_surface(std::uint32_t width, std::uint32_t height);

}  // namespace vistrel::posix
