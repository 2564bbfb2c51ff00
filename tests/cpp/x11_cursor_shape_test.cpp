// The X cursor's premultiplied pixels, converted for the core's compositing, against
// what X itself draws: c + d * (255 - a) / 255 (rounded as the server's renderer does).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "duplication/cursor.h"
#include "platform/x11/cursor_shape.h"

namespace vistrel {
namespace {

std::uint8_t x_draws(unsigned c, unsigned a, unsigned d) {
    const unsigned t = d * (255 - a) + 128;
    return static_cast<std::uint8_t>(c + ((t + (t >> 8)) >> 8));
}

// One row of 256 destination pixels, d = 0..255, under a 256-pixel shape of one colour.
std::vector<std::uint8_t> draw_row(std::uint32_t argb) {
    const std::vector<std::uint32_t> shape_pixels(256, argb);
    CursorState c;
    c.shape = x11::straight_alpha_bgra(shape_pixels);
    c.shape_type = 2;
    c.shape_width = 256;
    c.shape_height = 1;
    c.shape_pitch = 256 * 4;
    c.visible = true;
    std::vector<std::uint8_t> row(256 * 4);
    for (unsigned d = 0; d < 256; ++d)
        for (int k = 0; k < 4; ++k) row[d * 4 + k] = static_cast<std::uint8_t>(d);
    composite_cursor(row.data(), row.size(), 256, 1, 0, 0, c);
    return row;
}

TEST(X11CursorShape, OpaqueAndTransparentPixelsDrawExactlyWhatXDraws) {
    for (std::uint32_t argb : {0xFF000000u, 0xFFFFFFFFu, 0xFF102030u, 0x00000000u}) {
        const auto row = draw_row(argb);
        const unsigned a = argb >> 24;
        for (unsigned d = 0; d < 256; ++d)
            for (int k = 0; k < 3; ++k)
                ASSERT_EQ(row[d * 4 + k], x_draws((argb >> (8 * k)) & 0xFF, a, d)) << std::hex << argb << " d=" << d;
    }
}

TEST(X11CursorShape, TranslucentPixelsDrawWithinOneLevelOfX) {
    // The core blends straight alpha as one rounded sum; X adds the premultiplied colour
    // to a rounded product. Exact where the colour divides evenly by its alpha, else
    // never more than one level apart.
    for (unsigned a = 1; a < 255; ++a) {
        for (unsigned c = 0; c <= a; ++c) {
            const auto row = draw_row((a << 24) | (c << 16) | (c << 8) | c);
            const bool exact = (255 * c) % a == 0;
            for (unsigned d = 0; d < 256; ++d) {
                const int diff = int(row[d * 4]) - int(x_draws(c, a, d));
                ASSERT_LE(std::abs(diff), exact ? 0 : 1) << "a=" << a << " c=" << c << " d=" << d;
            }
        }
    }
}

}  // namespace
}  // namespace vistrel
