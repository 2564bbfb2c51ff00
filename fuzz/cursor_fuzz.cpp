// composite_cursor (and turn_shape) with any shape (type, size, pitch, buffer), any
// position and any clipping: it stays inside both buffers, leaves the alpha bytes and everything outside
// the pointer's rectangle alone, and drawing into a window of the image gives that
// window of drawing into the whole image.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "duplication/cursor.h"
#include "duplication/cursor_rotation.h"
#include "fuzz/fuzz_input.h"

using namespace vistrel;

namespace {

// Sizes: mostly small, sometimes anything, so both drawing and the overflow guards run.
std::uint32_t dimension(fuzz::Input& in) {
    const std::uint8_t pick = in.take<std::uint8_t>();
    return pick < 224 ? pick % 40 : in.take<std::uint32_t>();
}

std::int32_t coordinate(fuzz::Input& in) {
    const std::uint8_t pick = in.take<std::uint8_t>();
    return pick < 224 ? static_cast<std::int32_t>(pick % 80) - 40 : in.take<std::int32_t>();
}

std::vector<std::uint8_t> canvas(std::size_t bytes, std::uint8_t seed) {
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 37);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    CursorState c;
    const std::uint8_t type = in.take<std::uint8_t>();
    c.shape_type = type < 240 ? std::uint32_t{1} << (type % 3) : type;  // 1, 2, 4 or anything
    c.shape_width = dimension(in);
    c.shape_height = dimension(in);
    c.shape_pitch = dimension(in);
    c.position_x = coordinate(in);
    c.position_y = coordinate(in);
    c.visible = in.take<std::uint8_t>() != 0;
    const std::int32_t width = static_cast<std::int32_t>(in.upto(48)) - 2;
    const std::int32_t height = static_cast<std::int32_t>(in.upto(48)) - 2;
    const std::int32_t origin_x = coordinate(in);
    const std::int32_t origin_y = coordinate(in);
    const std::uint32_t shortfall = in.take<std::uint8_t>() < 16 ? 1 : 0;
    const std::uint8_t seed = in.take<std::uint8_t>();
    const std::uint8_t window_x = in.take<std::uint8_t>(), window_y = in.take<std::uint8_t>();
    c.shape.emplace(in.rest(), in.rest() + in.rest_size());

    // Turning any shape for a rotated output reads inside it and gives one that fits.
    for (std::uint32_t rotation : {2u, 3u, 4u}) {
        const CursorState turned = turn_shape(c, rotation);
        if (turned.shape && !shape_fits_buffer(turned)) std::abort();
    }

    const std::size_t full_bytes = width > 0 && height > 0 ? std::size_t(width) * std::size_t(height) * 4 : 0;
    const std::size_t length = full_bytes >= shortfall ? full_bytes - shortfall : 0;
    const std::vector<std::uint8_t> before = canvas(length, seed);
    std::vector<std::uint8_t> image = before;  // exactly `length` bytes on the heap
    composite_cursor(image.data(), image.size(), width, height, origin_x, origin_y, c);
    if (length != full_bytes && image != before) std::abort();  // a short destination is left alone
    if (length != full_bytes || full_bytes == 0) return 0;

    // The pointer's rectangle in image pixels; nothing else changes, alpha never does.
    const std::int64_t rx = std::int64_t{c.position_x} - origin_x, ry = std::int64_t{c.position_y} - origin_y;
    const std::int64_t shown_height = c.shape_height;
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * width + x) * 4;
            const bool inside = x >= rx && x < rx + c.shape_width && y >= ry && y < ry + shown_height;
            if (image[i + 3] != before[i + 3]) std::abort();
            if (!inside && (image[i] != before[i] || image[i + 1] != before[i + 1] || image[i + 2] != before[i + 2]))
                std::abort();
        }
    }

    // A window of the image, drawn on its own, matches that window of the whole.
    const std::int32_t wx = window_x % width, wy = window_y % height;
    if (std::int64_t{origin_x} + wx > INT32_MAX || std::int64_t{origin_y} + wy > INT32_MAX) return 0;
    const std::int32_t ww = width - wx, wh = height - wy;
    std::vector<std::uint8_t> window(std::size_t(ww) * std::size_t(wh) * 4);
    for (std::int32_t y = 0; y < wh; ++y)
        for (std::int32_t x = 0; x < ww * 4; ++x)
            window[std::size_t(y) * ww * 4 + x] = before[(std::size_t(y + wy) * width + wx) * 4 + x];
    composite_cursor(window.data(), window.size(), ww, wh, origin_x + wx, origin_y + wy, c);
    for (std::int32_t y = 0; y < wh; ++y)
        for (std::int32_t x = 0; x < ww * 4; ++x)
            if (window[std::size_t(y) * ww * 4 + x] != image[(std::size_t(y + wy) * width + wx) * 4 + x]) std::abort();
    return 0;
}
