// Argument extraction in the binding layer's words: a conversion's TypeError becomes
// "argument 'name': <its message>", every other error passes unchanged.
#pragma once

#include "src/py/ref.h"

namespace vistrel::py {

// Call with a conversion error pending for parameter `name`; rewrites a TypeError with
// the argument prefix (the original becomes its __cause__).
void prefix_argument_error(const char* name);

}  // namespace vistrel::py
