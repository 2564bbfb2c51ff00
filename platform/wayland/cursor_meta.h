// The pointer as a screen-cast stream describes it in its cursor metadata (the compositor
// then leaves it out of the frames): where its hot spot is and, when it changed, its
// image, turned into the straight-alpha BGRA of a DXGI colour shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vistrel::wayland {

struct StreamPointer {
    bool visible = false;
    std::int32_t x = 0, y = 0;  // the hot spot, in stream pixels
    std::int32_t hotspot_x = 0, hotspot_y = 0;
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> bgra;  // width * height * 4 bytes, rows of width * 4
};

enum class PointerChange { None, Moved, Reshaped };

// Applies one buffer's cursor metadata (`size` bytes at `meta`) to `pointer`. A block
// with no cursor (id 0) hides it; one without a bitmap moves it and keeps its image; a
// bitmap that is empty hides it, and one in an unknown format or reaching past the block
// is ignored with the position still taken.
PointerChange apply_cursor_meta(const void* meta, std::size_t size, StreamPointer& pointer);

}  // namespace vistrel::wayland
