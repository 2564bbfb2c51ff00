// Desktop duplication of one Wayland output through the screen-cast portal and PipeWire,
// for compositors without screencopy (GNOME, KDE) or when asked for.
#pragma once

#include <optional>
#include <string>

#include "platform/wayland/connection.h"

namespace vistrel::wayland {

// A duplication of the output named `output` on the compositor `display`, cast through
// the portal with `restore_token` (nullopt: the output's stored one; empty: none, so the
// dialog shows), storing the new token; or null with `failure` filled.
IDXGIOutputDuplication* new_portal_duplication(const std::string& display, const std::string& output,
                                               const std::optional<std::string>& restore_token, WlFailure& failure);
// The token the portal gave a duplication made above; nullopt for any other, or none.
std::optional<std::string> portal_restore_token(IDXGIOutputDuplication* duplication);

}  // namespace vistrel::wayland
