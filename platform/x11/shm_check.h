// Whether the X server can write into this process's memory: MIT-SHM present and
// answering, and the segment it attaches the very one this process made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/x11/surface.h"

namespace vistrel::x11 {

// A width x height segment the server writes into, tried on the pixels of `root` at
// (x, y); null when MIT-SHM is missing, refused or names other memory (another IPC
// namespace, a remote display), where GetImage replies have to carry the pixels.
std::shared_ptr<ShmSurface> writable_segment(const std::shared_ptr<Connection>& connection, xcb_window_t root,
                                             std::int16_t x, std::int16_t y, std::uint32_t width, std::uint32_t height);

// The names of the two ways pixels are read, as kPixelPathData gives them.
inline constexpr const char* kShmPath = "mit-shm";
inline constexpr const char* kGetImagePath = "get-image";

// The way a duplication of the monitor at (x, y) on `screen` of `display` would read its
// pixels, tried over a connection of its own; null when the display cannot be reached.
const char* probe_pixel_path(const std::string& display, std::uint32_t screen, std::int32_t x, std::int32_t y);

}  // namespace vistrel::x11
