// Method tables hold every C function as a PyCFunction; those taking keywords are cast
// through a plain function pointer, which is how the C API expects them stored.
#pragma once

#include "src/py/python.h"

namespace vistrel::py {

template <class F>
PyCFunction method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vistrel::py
