// Desktop duplication of one Wayland output through wlr-screencopy, over a connection of
// its own.
#pragma once

#include <string>

#include "platform/wayland/connection.h"

namespace vistrel::wayland {

// A duplication of the output named `output` on the compositor `display`, or null with
// `failure` filled.
IDXGIOutputDuplication* new_duplication(const std::string& display, const std::string& output, WlFailure& failure);

}  // namespace vistrel::wayland
