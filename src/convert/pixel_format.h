// PixelFormat: the layouts a frame can be delivered in, and the parsing of `fmt`.
#pragma once

#include <cstdint>
#include <string_view>

#include "duplication/failure.h"

namespace vistrel {

enum class PixelFormat : std::uint8_t { Bgra = 0, Bgr = 1, Rgba = 2, Rgb = 3, Gray = 4 };

// ASCII case folded, nothing trimmed; "grey" is Gray. A BadValue failure quotes the text.
Result<PixelFormat> parse_pixel_format(std::string_view text);

// Bytes per pixel: 4, 3, 4, 3, 1.
constexpr unsigned channel_count(PixelFormat format) {
    constexpr unsigned kCounts[] = {4, 3, 4, 3, 1};
    return kCounts[static_cast<unsigned>(format)];
}
// The table above is indexed by the enum's values.
static_assert(channel_count(PixelFormat::Bgra) == 4 && channel_count(PixelFormat::Bgr) == 3 &&
              channel_count(PixelFormat::Rgba) == 4 && channel_count(PixelFormat::Rgb) == 3 &&
              channel_count(PixelFormat::Gray) == 1);

}  // namespace vistrel
