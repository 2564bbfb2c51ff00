// The pixel half of a one-shot capture, shared by grab and screenshot.
#pragma once

#include <cstdint>

#include "duplication/device.h"
#include "duplication/failure.h"
#include "src/convert/pixel_format.h"
#include "src/convert/region.h"

namespace vistrel {

// Reads `region` of the session's copy texture (the newest image it acquired), draws the
// pointer when the session tracks it, and converts into `array`, the result's memory of
// region.width() x region.height() x channel_count(format) bytes. Runs without the
// interpreter lock; a failing Map is the only failure.
Status render_frame(DuplicationSession& session, const Region& region, PixelFormat format, std::uint8_t* array);

}  // namespace vistrel
