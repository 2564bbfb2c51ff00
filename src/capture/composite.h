// Pointer compositing over a region's rows: the capture paths' form of composite_cursor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "duplication/cursor.h"
#include "duplication/device.h"
#include "src/convert/region.h"

namespace vistrel {

// Draws the session's pointer into packed BGRA rows that cover `area` of the output.
inline void composite_cursor(std::uint8_t* rows, std::size_t length, const Region& area,
                             const DuplicationSession& session) {
    const CursorState& cursor = session.drawn_cursor();
    composite_cursor(rows, length, static_cast<std::int32_t>(area.width()), static_cast<std::int32_t>(area.height()),
                     static_cast<std::int32_t>(area.left), static_cast<std::int32_t>(area.top), cursor);
}

}  // namespace vistrel
