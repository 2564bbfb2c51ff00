// The X cursor image as a DXGI color pointer shape.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vistrel::x11 {

// XFixes gives premultiplied ARGB in 32-bit words; a DXGI color shape is BGRA with
// straight alpha, which the core blends as (s * a + d * (255 - a)) / 255. Dividing the
// premultiplied colour by its alpha makes that blend draw what X draws (c + d * (255 - a)
// / 255). Fully transparent pixels carry no colour (X's additive case is dropped).
// Returns width * height * 4 bytes, rows of width * 4.
std::vector<std::uint8_t> straight_alpha_bgra(std::span<const std::uint32_t> argb);

}  // namespace vistrel::x11
