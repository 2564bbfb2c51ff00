// Argument extraction in the binding layer's words: a conversion's TypeError becomes
// "argument 'name': <its message>", every other error passes unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "src/py/ref.h"

namespace vistrel::py {

// The conversions below return false with the argument error set.

// An unsigned 32-bit integer: ints, or objects with __index__. Outside 0..4294967295 is
// OverflowError "out of range integral type conversion attempted".
bool to_u32(PyObject* value, const char* name, std::uint32_t& out);
// A bool: True/False or a NumPy bool scalar; integers are refused.
bool to_bool(PyObject* value, const char* name, bool& out);
// A str, as UTF-8.
bool to_str(PyObject* value, const char* name, std::string& out);

// Sets TypeError "argument 'name': 'T' object is not an instance of 'expected'".
void raise_wrong_type(PyObject* value, const char* name, const char* expected);

// Call with a conversion error pending for parameter `name`; rewrites a TypeError with
// the argument prefix (the original becomes its __cause__).
void prefix_argument_error(const char* name);
// Replaces the pending error with an `as_class` exception reading "argument '<name>': <its
// text>", caused by the original.
void rename_argument_error(const char* name, PyObject* as_class);

}  // namespace vistrel::py
