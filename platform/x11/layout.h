// What the display looks like: its screens and, per screen, the RandR monitors in the
// order outputs are numbered (primary first, then left to right, top to bottom).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/x11/connection.h"

namespace vistrel::x11 {

struct MonitorInfo {
    std::string name;
    std::int32_t x = 0, y = 0;
    std::uint32_t width = 0, height = 0;
    DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
    bool primary = false;

    bool same_area(const MonitorInfo& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

struct ScreenInfo {
    std::uint32_t width = 0, height = 0;
    std::vector<MonitorInfo> monitors;
};

// The monitors of one screen, each clipped to the screen's `width` x `height` (a monitor
// set by hand may reach beyond it, where there are no pixels to read); one wholly outside
// is left out. Without RandR 1.5, or with no monitor defined, one monitor covering the screen.
std::vector<MonitorInfo> query_monitors(const Connection& connection, const xcb_screen_t& screen, std::uint32_t width,
                                        std::uint32_t height);

// Every screen of the display.
std::vector<ScreenInfo> query_layout(const Connection& connection);

// Whether the screen's pixels are 32-bit little-endian words (BGRX); otherwise false with
// the reason.
bool screen_pixels_supported(const Connection& connection, const xcb_screen_t& screen, std::string& why);

}  // namespace vistrel::x11
