#include "platform/wayland/cursor_meta.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <cstring>

namespace vistrel::wayland {
namespace {

// Bitmaps larger than this are no pointer a compositor sends (the stream offers 384).
constexpr std::uint32_t kLargestSide = 1024;

// Where B, G, R and A lie in a pixel of each 32-bit format the metadata may use.
struct Channels {
    int b, g, r, a;
};

bool channels_of(std::uint32_t format, Channels& c) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRA:
            c = {0, 1, 2, 3};
            return true;
        case SPA_VIDEO_FORMAT_RGBA:
            c = {2, 1, 0, 3};
            return true;
        case SPA_VIDEO_FORMAT_ARGB:
            c = {3, 2, 1, 0};
            return true;
        case SPA_VIDEO_FORMAT_ABGR:
            c = {1, 2, 3, 0};
            return true;
        default:
            return false;
    }
}

// Compositors send the sprite as they hold it, with premultiplied alpha; the core blends
// straight alpha, so the colour is divided back out.
std::uint8_t unpremultiply(std::uint8_t colour, std::uint8_t alpha) {
    if (alpha == 0) return 0;
    if (alpha == 255) return colour;
    const unsigned straight = (unsigned{colour} * 255 + alpha / 2) / alpha;
    return static_cast<std::uint8_t>(straight > 255 ? 255 : straight);
}

void hide(StreamPointer& pointer) {
    pointer.visible = false;
    pointer.width = pointer.height = 0;
    pointer.bgra.clear();
}

// Reads the bitmap at `offset` of the block; false, changing nothing, when it is unusable.
bool read_bitmap(const std::uint8_t* block, std::size_t size, std::size_t offset, StreamPointer& pointer) {
    if (offset < sizeof(spa_meta_cursor) || offset > size || size - offset < sizeof(spa_meta_bitmap)) return false;
    spa_meta_bitmap bitmap;
    std::memcpy(&bitmap, block + offset, sizeof bitmap);
    Channels c{};
    if (!spa_meta_bitmap_is_valid(&bitmap) || !channels_of(bitmap.format, c)) return false;
    const std::uint32_t w = bitmap.size.width, h = bitmap.size.height;
    if (bitmap.offset == 0 || w == 0 || h == 0) {
        hide(pointer);
        return true;
    }
    if (w > kLargestSide || h > kLargestSide || bitmap.stride < 0 ||
        std::uint64_t(bitmap.stride) < std::uint64_t{w} * 4)
        return false;
    const std::uint64_t start = std::uint64_t{offset} + bitmap.offset;
    const std::uint64_t end = start + std::uint64_t(bitmap.stride) * (h - 1) + std::uint64_t{w} * 4;
    if (end > size) return false;
    pointer.width = w;
    pointer.height = h;
    pointer.bgra.resize(std::size_t{w} * h * 4);
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint8_t* source = block + start + std::size_t{y} * static_cast<std::uint32_t>(bitmap.stride);
        std::uint8_t* row = pointer.bgra.data() + std::size_t{y} * w * 4;
        for (std::uint32_t x = 0; x < w; ++x, source += 4, row += 4) {
            const std::uint8_t a = source[c.a];
            row[0] = unpremultiply(source[c.b], a);
            row[1] = unpremultiply(source[c.g], a);
            row[2] = unpremultiply(source[c.r], a);
            row[3] = a;
        }
    }
    return true;
}

}  // namespace

PointerChange apply_cursor_meta(const void* meta, std::size_t size, StreamPointer& pointer) {
    if (!meta || size < sizeof(spa_meta_cursor)) return PointerChange::None;
    const auto* block = static_cast<const std::uint8_t*>(meta);
    spa_meta_cursor cursor;
    std::memcpy(&cursor, block, sizeof cursor);
    if (!spa_meta_cursor_is_valid(&cursor)) {
        // The compositors that send metadata write it into every buffer and clear it when
        // the pointer is hidden or off this output.
        if (!pointer.visible) return PointerChange::None;
        pointer.visible = false;
        return PointerChange::Moved;
    }
    const bool moved = !pointer.visible || pointer.x != cursor.position.x || pointer.y != cursor.position.y;
    pointer.x = cursor.position.x;
    pointer.y = cursor.position.y;
    // Without a bitmap the hot spot is not sent again: the last one stays.
    if (cursor.bitmap_offset != 0 && read_bitmap(block, size, cursor.bitmap_offset, pointer)) {
        pointer.hotspot_x = cursor.hotspot.x;
        pointer.hotspot_y = cursor.hotspot.y;
        pointer.visible = !pointer.bgra.empty();
        return PointerChange::Reshaped;
    }
    pointer.visible = !pointer.bgra.empty();
    return moved ? PointerChange::Moved : PointerChange::None;
}

}  // namespace vistrel::wayland
