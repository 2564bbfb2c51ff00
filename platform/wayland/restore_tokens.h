// The portal's restore tokens, kept per output under $XDG_STATE_HOME/vistrel/ (by default
// ~/.local/state/vistrel/), so that the next session on that output opens with no dialog.
#pragma once

#include <string>

namespace vistrel::wayland {

// The stored token for `output`; empty when there is none.
std::string load_restore_token(const std::string& output);
// Stores `token` for `output` (an empty one forgets it); failures leave the old file, as
// a missing token only costs a dialog.
void store_restore_token(const std::string& output, const std::string& token);

}  // namespace vistrel::wayland
