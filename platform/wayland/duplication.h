// Desktop duplication of one Wayland output through wlr-screencopy, over a connection of
// its own.
#pragma once

#include <string>

#include "platform/wayland/connection.h"
#include "platform/wayland/frame_exchange.h"

namespace vistrel::wayland {

// A duplication of the output named `output` on the compositor `display`, or null with
// `failure` filled.
IDXGIOutputDuplication* new_duplication(const std::string& display, const std::string& output, WlFailure& failure);

// One whole image of `output` by screencopy, published into `frames` (whose size must be
// the output's); false with `failure` filled when the compositor cannot give one within
// `timeout_ms`.
bool copy_output_once(const std::string& display, const std::string& output, FrameExchange& frames,
                      std::uint32_t timeout_ms, WlFailure& failure);

}  // namespace vistrel::wayland
