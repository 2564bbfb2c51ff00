// The pointer on a rotated output. The duplication's surface keeps the display's own
// (un-rotated) orientation while the platform reports the pointer in the rotated
// desktop's, so the shape is turned and its position carried over before drawing.
#pragma once

#include <cstdint>

#include "duplication/cursor.h"

namespace vistrel {

// Rotations 2, 3 and 4 (90, 180 and 270 degrees) turn the desktop within the surface.
bool turns_desktop(std::uint32_t rotation);

// The shape of `desktop` as it lies on the surface: rows and columns turned, type kept.
// No shape when `desktop` has none or its pitch and size do not fit its buffer.
CursorState turn_shape(const CursorState& desktop, std::uint32_t rotation);

// Sets the position and visibility of `surface` (a turned shape) from `desktop` on a
// surface of surface_width x surface_height pixels.
void place_on_surface(const CursorState& desktop, std::uint32_t rotation, std::uint32_t surface_width,
                      std::uint32_t surface_height, CursorState& surface);

}  // namespace vistrel
