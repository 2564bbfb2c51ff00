// How a session's pixels reach the process, in the provider's words: "mit-shm" or
// "get-image" on X11, "wl-shm" on Wayland, "staging-texture" for Windows' duplication
// (and the simulated one), whose frames are read back through a staging texture.
#pragma once

#include <string>

#include "platform/dxgi.h"

namespace vistrel {

// The path `object` (a duplication, or an output it would duplicate) names; the staging
// texture for one that names none.
std::string pixel_path_of(IDXGIObject* object);

}  // namespace vistrel
