// Desktop duplication of one Wayland output through the screen-cast portal and PipeWire,
// for compositors without screencopy (GNOME, KDE) or when asked for.
#pragma once

#include <string>

#include "platform/wayland/connection.h"

namespace vistrel::wayland {

// A duplication of the output named `output` on the compositor `display`, cast through
// the portal (with the output's stored restore token, and storing the new one), or null
// with `failure` filled.
IDXGIOutputDuplication* new_portal_duplication(const std::string& display, const std::string& output,
                                               WlFailure& failure);

}  // namespace vistrel::wayland
