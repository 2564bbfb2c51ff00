// The FramesIter class object.
#pragma once

#include "src/py/python.h"

namespace vistrel {

// Process-wide, created on first need; borrowed, null with an exception set on failure.
PyTypeObject* frames_iter_type();

}  // namespace vistrel
