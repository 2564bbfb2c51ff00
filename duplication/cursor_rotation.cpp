#include "duplication/cursor_rotation.h"

#include <algorithm>
#include <limits>

namespace vistrel {
namespace {

constexpr std::uint32_t kRotate90 = DXGI_MODE_ROTATION_ROTATE90;
constexpr std::uint32_t kRotate180 = DXGI_MODE_ROTATION_ROTATE180;
constexpr std::uint32_t kRotate270 = DXGI_MODE_ROTATION_ROTATE270;

bool swaps_axes(std::uint32_t rotation) { return rotation == kRotate90 || rotation == kRotate270; }

// Where surface pixel (row, col) of the turned shape comes from in a w x h desktop shape.
struct Source {
    std::uint32_t row;
    std::uint32_t col;
};
Source source_of(std::uint32_t rotation, std::uint32_t w, std::uint32_t h, std::uint32_t row, std::uint32_t col) {
    switch (rotation) {
        case kRotate90:
            return {col, w - 1 - row};
        case kRotate180:
            return {h - 1 - row, w - 1 - col};
        default:  // 270
            return {h - 1 - col, row};
    }
}

bool bit(const std::uint8_t* plane, std::size_t pitch, std::uint32_t row, std::uint32_t col) {
    return (plane[row * pitch + col / 8] >> (7 - col % 8)) & 1;
}

std::int32_t saturate(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

bool turns_desktop(std::uint32_t rotation) {
    return rotation == kRotate90 || rotation == kRotate180 || rotation == kRotate270;
}

CursorState turn_shape(const CursorState& desktop, std::uint32_t rotation) {
    CursorState turned;
    if (!turns_desktop(rotation) || !shape_fits_buffer(desktop)) return turned;
    const std::uint32_t w = desktop.shape_width, h = desktop.shape_height;
    // An empty shape draws nothing, turned or not (and its other side may be any size).
    if (w == 0 || h == 0) return turned;
    const std::uint32_t tw = swaps_axes(rotation) ? h : w, th = swaps_axes(rotation) ? w : h;
    const std::uint8_t* from = desktop.shape->data();
    const std::size_t pitch = desktop.shape_pitch;
    turned.shape_type = desktop.shape_type;
    turned.shape_width = tw;
    turned.shape_height = th;
    if (desktop.shape_type == DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME) {
        const std::size_t tp = (std::size_t{tw} + 7) / 8;
        std::vector<std::uint8_t> planes(tp * th * 2, 0);
        for (std::size_t plane = 0; plane < 2; ++plane) {
            const std::uint8_t* source = from + plane * h * pitch;
            std::uint8_t* target = planes.data() + plane * th * tp;
            for (std::uint32_t r = 0; r < th; ++r)
                for (std::uint32_t c = 0; c < tw; ++c) {
                    const Source s = source_of(rotation, w, h, r, c);
                    if (bit(source, pitch, s.row, s.col)) target[r * tp + c / 8] |= std::uint8_t(0x80u >> (c % 8));
                }
        }
        turned.shape_pitch = static_cast<std::uint32_t>(tp);
        turned.shape = std::move(planes);
    } else {
        const std::size_t tp = std::size_t{tw} * 4;
        std::vector<std::uint8_t> pixels(tp * th);
        for (std::uint32_t r = 0; r < th; ++r)
            for (std::uint32_t c = 0; c < tw; ++c) {
                const Source s = source_of(rotation, w, h, r, c);
                std::copy_n(from + s.row * pitch + std::size_t{s.col} * 4, 4, pixels.data() + r * tp + c * 4);
            }
        turned.shape_pitch = static_cast<std::uint32_t>(tp);
        turned.shape = std::move(pixels);
    }
    return turned;
}

void place_on_surface(const CursorState& desktop, std::uint32_t rotation, std::uint32_t surface_width,
                      std::uint32_t surface_height, CursorState& surface) {
    const std::int64_t x = desktop.position_x, y = desktop.position_y;
    const std::int64_t w = desktop.shape ? desktop.shape_width : 0, h = desktop.shape ? desktop.shape_height : 0;
    std::int64_t sx = x, sy = y;
    switch (rotation) {
        case kRotate90:  // desktop column x is surface row H-1-x; desktop row y is surface column y
            sx = y;
            sy = std::int64_t{surface_height} - x - w;
            break;
        case kRotate180:
            sx = std::int64_t{surface_width} - x - w;
            sy = std::int64_t{surface_height} - y - h;
            break;
        case kRotate270:  // desktop column x is surface row x; desktop row y is surface column W-1-y
            sx = std::int64_t{surface_width} - y - h;
            sy = x;
            break;
        default:
            break;
    }
    surface.position_x = saturate(sx);
    surface.position_y = saturate(sy);
    surface.visible = desktop.visible;
}

}  // namespace vistrel
