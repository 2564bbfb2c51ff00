// The Python `region` argument: None, or a tuple of four integers.
#pragma once

#include <optional>

#include "src/convert/region.h"
#include "src/py/python.h"

namespace vistrel::py {

// Converts `value` (borrowed; null or None for "not given") into `out`. Returns false
// with the argument error set, in the binding layer's exact words.
bool parse_region_arg(PyObject* value, std::optional<RegionArg>& out);

}  // namespace vistrel::py
