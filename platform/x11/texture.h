// The frames' textures live in CPU memory, as every non-Windows provider's do.
#pragma once

#include "platform/posix/texture.h"
#include "platform/x11/surface.h"

namespace vistrel::x11 {

using posix::new_desktop_resource;
using posix::Texture;

}  // namespace vistrel::x11
