// The GPU hand-over: the session's shareable texture and the copy of each frame into it
// under its keyed mutex. No pixel touches the CPU.
#pragma once

#include <cstdint>

#include "duplication/device.h"
#include "duplication/failure.h"

namespace vistrel {

// Fills the session's SharedTextureSlot if it is empty: a texture of the session's size
// with the keyed-mutex and NT-handle sharing flags, its keyed mutex, and a shared handle
// with read and write access. On failure everything made so far is released and the slot
// stays empty.
Status ensure_shared_texture(DuplicationSession& session);

enum class SharedCopy { Copied, KeyBusy };

// Copies the GPU copy texture into the shared texture while holding key 0 (waiting up to
// `timeout_ms` for it). KeyBusy: a consumer held key 0 all that time; nothing was copied.
// An abandoned key replaces the slot's texture, mutex and handle with new ones first; if
// that fails, or the new key is abandoned too, the slot is left empty for the next call.
Result<SharedCopy> copy_to_shared_texture(DuplicationSession& session, std::uint32_t timeout_ms);

}  // namespace vistrel
