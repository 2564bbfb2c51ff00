// What a wl_output transform means for a capture: frames come in the output's mode
// orientation (as a duplication's do), and the rotation says how to turn them upright.
#pragma once

#include <cstdint>

#include "platform/dxgi.h"

namespace vistrel::wayland {

// A transform of 90 means the mode's pixels are the desktop turned a quarter
// counter-clockwise: turning them clockwise makes it upright, which is DXGI's 90 (checked
// against the reference client on sway). DXGI has no mirror: the flipped transforms report
// their turn alone.
inline DXGI_MODE_ROTATION rotation_of(std::int32_t transform) {
    switch (transform & 3) {
        case 1:
            return DXGI_MODE_ROTATION_ROTATE90;
        case 2:
            return DXGI_MODE_ROTATION_ROTATE180;
        case 3:
            return DXGI_MODE_ROTATION_ROTATE270;
        default:
            return DXGI_MODE_ROTATION_IDENTITY;
    }
}

// The output's size on the desktop: xdg-output's logical size where the compositor gave
// one, otherwise the mode turned by the transform.
inline void desktop_size(std::int32_t transform, std::uint32_t mode_width, std::uint32_t mode_height,
                         std::int32_t logical_width, std::int32_t logical_height, std::uint32_t& width,
                         std::uint32_t& height) {
    if (logical_width > 0 && logical_height > 0) {
        width = static_cast<std::uint32_t>(logical_width);
        height = static_cast<std::uint32_t>(logical_height);
    } else if (transform & 1) {
        width = mode_height;
        height = mode_width;
    } else {
        width = mode_width;
        height = mode_height;
    }
}

}  // namespace vistrel::wayland
