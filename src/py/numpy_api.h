// NumPy through its C-API table, looked up at run time from the _ARRAY_API capsule:
// no NumPy headers at build time, and importing the module does not need NumPy.
#pragma once

#include <cstdint>
#include <vector>

#include "src/py/ref.h"

namespace vistrel::py {

// The table, loaded on the first call and cached for the process. Throws InternalFault
// ("Failed to access NumPy array API capsule...") when NumPy cannot be loaded; that is
// not cached, so a later call tries again.
void** numpy_api();

// A new C-contiguous uint8 array of shape (height, width, channels) that owns its memory,
// uninitialised; `data` receives its first byte. Null with a Python error on failure.
Ref new_uint8_array(std::uint32_t height, std::uint32_t width, std::uint32_t channels, std::uint8_t** data);

// Hands `bytes` to NumPy without copying: a writable one-dimensional uint8 array whose
// base object owns them, reshaped to (height, width, channels); the result is a view whose
// base is that array. Null with a Python error on failure.
Ref wrap_bytes(std::vector<std::uint8_t> bytes, std::uint32_t height, std::uint32_t width, std::uint32_t channels);

}  // namespace vistrel::py
