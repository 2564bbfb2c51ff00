// The mouse pointer: what the duplication reports beside each frame (CursorState,
// update_cursor) and drawing it into packed BGRA rows (composite_cursor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "duplication/failure.h"
#include "platform/com_ptr.h"

namespace vistrel {

struct CursorState {
    // The shape as the platform delivered it; absent until the first shape arrives.
    // Type, size, pitch and hot spot always describe the buffer that is present.
    std::optional<std::vector<std::uint8_t>> shape;
    std::uint32_t shape_type = 0;  // 1 monochrome, 2 color, 4 masked color
    std::uint32_t shape_width = 0;
    std::uint32_t shape_height = 0;  // one mask's height for monochrome
    std::uint32_t shape_pitch = 0;
    std::int32_t hotspot_x = 0;
    std::int32_t hotspot_y = 0;
    // Top-left corner of the shape in output pixels.
    std::int32_t position_x = 0;
    std::int32_t position_y = 0;
    bool visible = false;
};

struct DuplicationSession;

// The tracking step, run by acquire_frame while the frame is held (cursor flag set).
// Never fails: every error inside is dropped.
void update_cursor(DuplicationSession& session, const DXGI_OUTDUPL_FRAME_INFO& frame);

// Whether the shape's pitch and size describe rows that lie inside its buffer.
bool shape_fits_buffer(const CursorState& cursor);

// Fetches the held frame's pointer shape of `size` bytes into the cursor state. On
// failure the previous shape stays.
Status update_pointer_shape(DuplicationSession& session, std::uint32_t size);

// Draws the pointer into `destination`: width x height packed BGRA pixels whose top-left
// pixel is output pixel (origin_x, origin_y). Draws nothing for a hidden pointer, no
// shape, an unknown type, or a shape whose pitch and size do not fit its buffer. Never
// reads or writes outside either buffer.
void composite_cursor(std::uint8_t* destination, std::size_t destination_length, std::int32_t width,
                      std::int32_t height, std::int32_t origin_x, std::int32_t origin_y, const CursorState& cursor);

}  // namespace vistrel
