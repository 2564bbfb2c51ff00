// Kernel handles as a non-Windows provider keeps them (the simulated machine's handle
// table; providers without handles refuse to duplicate).
#pragma once

namespace vistrel::provider {

// A duplicate of `source` in this process, or null with the Win32 error in `error`.
void* duplicate_handle(void* source, unsigned& error);
// Closes a handle from this provider; unknown handles are ignored.
void close_handle(void* handle);

}  // namespace vistrel::provider
