// The region argument from any Python value (None, other types, tuples of any length,
// integers of any size, bools, floats, objects with a lying or failing __index__), then
// validated against any image size. Each result is checked against the rule computed in
// 128-bit integers: accepted exactly when it holds, and then with the same numbers.
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "src/py/region_arg.h"
#include "src/py/text.h"

using namespace vistrel;
using py::Ref;

namespace {

using Wide = __int128;
constexpr Wide kInt64Min = INT64_MIN, kInt64Max = INT64_MAX;

Ref g_namespace;  // the helper classes below, for the whole run

const char kHelpers[] = R"(
class Index:
    def __init__(self, value): self.value = value
    def __index__(self): return self.value
class Failing:
    def __index__(self): raise ValueError("no index")
)";

PyObject* helper(const char* name) { return PyDict_GetItemString(g_namespace.get(), name); }

// An integer of up to 16 bytes and either sign, as a Python int.
Ref wide_int(fuzz::Input& in, Wide& value) {
    const std::uint8_t pick = in.take<std::uint8_t>();
    const std::uint8_t bytes = pick < 160 ? 0 : pick % 17;
    const bool negative = in.take<std::uint8_t>() < 64;
    // Zero bytes: a small number, near the image sizes, so edges come up often.
    unsigned __int128 magnitude = bytes ? 0 : in.take<std::uint8_t>() % 32;
    for (std::uint8_t i = 0; i < bytes; ++i) magnitude = (magnitude << 8) | in.take<std::uint8_t>();
    if (bytes == 16) magnitude >>= 1;  // keep it within the signed 128-bit range
    value = negative ? -static_cast<Wide>(magnitude) : static_cast<Wide>(magnitude);
    std::string hex;
    for (unsigned __int128 m = magnitude; m; m >>= 4) hex.insert(hex.begin(), "0123456789abcdef"[unsigned(m & 15)]);
    if (hex.empty()) hex = "0";
    if (negative) hex.insert(hex.begin(), '-');
    return Ref::steal(PyLong_FromString(hex.c_str(), nullptr, 16));
}

// One tuple item; `value` is its integer when it is one (directly or through __index__).
Ref item(fuzz::Input& in, std::optional<Wide>& value) {
    Wide n = 0;
    value.reset();
    switch (in.take<std::uint8_t>() % 8) {
        case 0:
        case 1:
        case 2: {
            Ref number = wide_int(in, n);
            value = n;
            return number;
        }
        case 3: {
            const bool b = in.take<std::uint8_t>() & 1;
            value = b;
            return Ref::borrow(b ? Py_True : Py_False);
        }
        case 4: {
            Ref number = wide_int(in, n);
            value = n;
            return Ref::steal(PyObject_CallFunctionObjArgs(helper("Index"), number.get(), nullptr));
        }
        case 5:
            return Ref::steal(PyObject_CallFunctionObjArgs(helper("Failing"), nullptr));
        case 6: {
            // __index__ answering something that is not an int.
            Ref text = py::str("7");
            return Ref::steal(PyObject_CallFunctionObjArgs(helper("Index"), text.get(), nullptr));
        }
        default:
            return Ref::steal(PyFloat_FromDouble(static_cast<double>(in.take<std::int32_t>())));
    }
}

// An image side: mostly small, so that regions at and around its edges come up often.
std::uint32_t size_of(fuzz::Input& in) {
    const std::uint8_t pick = in.take<std::uint8_t>();
    return pick < 224 ? pick % 24 : in.take<std::uint32_t>();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("PYTHONMALLOC", "malloc", 1);  // the sanitizer sees every object's bounds
    Py_InitializeEx(0);
    g_namespace = Ref::steal(PyDict_New());
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    PyDict_SetItemString(g_namespace.get(), "__builtins__", builtins.get());
    Ref source = py::str(kHelpers);
    Ref done = Ref::steal(PyObject_CallMethod(builtins.get(), "exec", "OO", source.get(), g_namespace.get()));
    if (!done) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint32_t width = size_of(in), height = size_of(in);
    const std::uint8_t shape = in.take<std::uint8_t>();
    Ref argument;
    bool well_formed = false;  // a tuple of four integers that fit 64 bits
    Wide numbers[4] = {};
    if (shape < 8) {
        argument = Ref::borrow(shape < 4 ? Py_None : nullptr);
    } else if (shape < 16) {
        argument = Ref::steal(PyList_New(0));
    } else {
        const Py_ssize_t length = shape < 200 ? 4 : shape % 7;
        argument = Ref::steal(PyTuple_New(length));
        well_formed = length == 4;
        for (Py_ssize_t i = 0; i < length; ++i) {
            std::optional<Wide> value;
            Ref element = item(in, value);
            if (!element) std::abort();
            if (!value || *value < kInt64Min || *value > kInt64Max) well_formed = false;
            if (value && i < 4) numbers[i] = *value;
            PyTuple_SetItem(argument.get(), i, element.release());
        }
    }

    std::optional<RegionArg> parsed;
    const bool ok = py::parse_region_arg(argument.get(), parsed);
    if (ok == (PyErr_Occurred() != nullptr)) std::abort();  // success exactly when no error is set
    if (!ok) {
        if (well_formed) std::abort();
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
            Ref text = Ref::steal(PyObject_Str(v.get()));
            if (py::utf8(text.get()).rfind("argument 'region': ", 0) != 0) std::abort();
        }
        PyErr_Clear();
        return 0;
    }
    if (shape < 16) {
        if (parsed) std::abort();  // None and "not given" are no region
        return 0;
    }
    if (!well_formed || !parsed) std::abort();
    const RegionArg& a = *parsed;
    if (a.left != numbers[0] || a.top != numbers[1] || a.right != numbers[2] || a.bottom != numbers[3]) std::abort();

    const bool valid = numbers[0] >= 0 && numbers[1] >= 0 && numbers[0] < numbers[2] && numbers[1] < numbers[3] &&
                       numbers[2] <= width && numbers[3] <= height;
    Result<Region> region = validate_region(a, width, height);
    if (region.ok() != valid) std::abort();
    if (!valid) {
        if (region.failure().kind() != Failure::Kind::BadValue || region.failure().text().empty()) std::abort();
        return 0;
    }
    const Region& r = region.value();
    if (r.left != numbers[0] || r.top != numbers[1] || r.right != numbers[2] || r.bottom != numbers[3]) std::abort();
    if (r.width() == 0 || r.height() == 0 || r.right > width || r.bottom > height) std::abort();
    return 0;
}
