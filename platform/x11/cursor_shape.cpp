#include "platform/x11/cursor_shape.h"

#include <algorithm>

namespace vistrel::x11 {

std::vector<std::uint8_t> straight_alpha_bgra(std::span<const std::uint32_t> argb) {
    std::vector<std::uint8_t> out(argb.size() * 4, 0);
    for (std::size_t i = 0; i < argb.size(); ++i) {
        const std::uint32_t pixel = argb[i];
        const std::uint32_t alpha = pixel >> 24;
        std::uint8_t* d = out.data() + i * 4;
        if (alpha == 0) continue;
        for (int k = 0; k < 3; ++k) {
            const std::uint32_t premultiplied = (pixel >> (8 * k)) & 0xFF;
            d[k] = static_cast<std::uint8_t>(
                alpha == 255 ? premultiplied : std::min<std::uint32_t>(255, (premultiplied * 255 + alpha / 2) / alpha));
        }
        d[3] = static_cast<std::uint8_t>(alpha);
    }
    return out;
}

}  // namespace vistrel::x11
