// The GpuTexture class: what grab_gpu hands a consumer of the shared texture.
#pragma once

#include <cstdint>

#include "platform/os.h"
#include "src/py/python.h"

namespace vistrel {

// Process-wide, created on first need; borrowed, null with an exception set on failure.
PyTypeObject* gpu_texture_type();

// A new GpuTexture owning `handle` (a duplicate of the session's shared handle), bound
// to the calling thread. Null with an exception set on failure (the handle is closed).
PyObject* new_gpu_texture(os::KernelHandle handle, LUID luid, std::uint32_t width, std::uint32_t height);

}  // namespace vistrel
