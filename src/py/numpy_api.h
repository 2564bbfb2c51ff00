// NumPy through its C-API table, looked up at run time from the _ARRAY_API capsule:
// no NumPy headers at build time, and importing the module does not need NumPy.
#pragma once

#include <cstdint>
#include <memory>

#include "src/py/ref.h"

namespace vistrel::py {

// The table, loaded on the first call and cached for the process. Throws InternalFault
// ("Failed to access NumPy array API capsule...") when NumPy cannot be loaded, or
// PythonErrorSet when the interpreter itself raised meanwhile (KeyboardInterrupt,
// SystemExit, MemoryError); neither is cached, so a later call tries again.
void** numpy_api();

// A new C-contiguous uint8 array of shape (height, width, channels) that owns its memory,
// uninitialised; `data` receives its first byte. Null with a Python error on failure.
Ref new_uint8_array(std::uint32_t height, std::uint32_t width, std::uint32_t channels, std::uint8_t** data);

// A new one-dimensional uint8 array of `length` bytes that owns its memory, uninitialised;
// `data` receives its first byte. Null with a Python error on failure.
Ref new_flat_uint8_array(std::size_t length, std::uint8_t** data);

// A view of a one-dimensional array as (height, width, channels), through PyArray_Newshape.
Ref reshape_frame(const Ref& flat, std::uint32_t height, std::uint32_t width, std::uint32_t channels);

// A copy of `bytes` (height x width x channels of them) in memory NumPy allocates, shaped
// (height, width, channels) as a view of its one-dimensional array.
Ref copy_frame(const std::uint8_t* bytes, std::uint32_t height, std::uint32_t width, std::uint32_t channels);

// Hands `bytes` to NumPy without copying: a writable one-dimensional uint8 array whose
// base object owns them, reshaped to (height, width, channels); the result is a view whose
// base is that array. Null with a Python error on failure.
Ref wrap_bytes(std::unique_ptr<std::uint8_t[]> bytes, std::uint32_t height, std::uint32_t width,
               std::uint32_t channels);

// Hands memory that `owner` keeps alive to NumPy without copying: a writable (height,
// width, channels) uint8 array over `data`, whose base object holds `owner` until the
// array and every view of it are gone. Null with a Python error on failure (`owner` is
// then let go).
Ref wrap_kept(std::uint8_t* data, std::uint32_t height, std::uint32_t width, std::uint32_t channels,
              std::shared_ptr<void> owner);

}  // namespace vistrel::py
