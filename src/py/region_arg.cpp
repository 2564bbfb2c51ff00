#include "src/py/region_arg.h"

#include "src/py/args.h"
#include "src/py/text.h"

namespace vistrel::py {
namespace {

// One item as a signed 64-bit integer: ints directly, anything else through __index__.
bool item_to_i64(PyObject* item, std::int64_t& out) {
    py::Ref number = py::Ref::borrow(item);
    if (!PyLong_Check(item)) {
        number = py::Ref::steal(PyNumber_Index(item));
        if (!number) return false;
    }
    long long value = PyLong_AsLongLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace

bool parse_region_arg(PyObject* value, std::optional<RegionArg>& out) {
    out.reset();
    if (!value || value == Py_None) return true;
    if (!PyTuple_Check(value)) {
        py::raise_wrong_type(value, "region", "tuple");
        return false;
    }
    Py_ssize_t length = PyTuple_Size(value);
    if (length != 4) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 4, but got tuple of length %zd", length);
        return false;
    }
    std::int64_t items[4];
    for (Py_ssize_t i = 0; i < 4; ++i) {
        if (!item_to_i64(PyTuple_GetItem(value, i), items[i])) {
            py::prefix_argument_error("region");
            return false;
        }
    }
    out = RegionArg{items[0], items[1], items[2], items[3]};
    return true;
}

}  // namespace vistrel::py
