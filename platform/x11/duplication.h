// Desktop duplication of one RandR monitor over a connection of its own.
#pragma once

#include <string>

#include "platform/x11/connection.h"

namespace vistrel::x11 {

// A duplication of the monitor named `monitor` on `screen` of `display`, over `spare`
// when that is given and still usable (it must be no other thread's), else over a new
// connection; or null with `failure` filled.
IDXGIOutputDuplication* new_duplication(std::shared_ptr<Connection> spare, const std::string& display,
                                        std::uint32_t screen, const std::string& monitor, XFailure& failure);

}  // namespace vistrel::x11
