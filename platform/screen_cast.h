// The restore token of a provider that captures through a screen-cast portal (Wayland):
// the token an output's next duplication opens with, so no dialog is shown, and the one
// the portal gave the duplication for next time. Other providers keep none.
#pragma once

#include <optional>
#include <string>

#include "platform/dxgi.h"

namespace vistrel {

// What `output`'s next DuplicateOutput passes to the portal; nullopt: the token stored
// for the output, if any.
void set_cast_restore_token(IDXGIOutput1* output, const std::optional<std::string>& token);
// The token the portal gave `duplication`; nullopt when it gave none or casts nothing.
std::optional<std::string> cast_restore_token(IDXGIOutputDuplication* duplication);

}  // namespace vistrel
