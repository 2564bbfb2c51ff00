#include "src/py/args.h"

#include <string>

#include "src/py/text.h"

namespace vistrel::py {

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    rename_argument_error(name, PyExc_TypeError);
}

void rename_argument_error(const char* name, PyObject* as_class) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    if (tb) PyException_SetTraceback(v.get(), tb.get());
    Ref original_text = Ref::steal(PyObject_Str(v.get()));
    if (!original_text) return;
    std::string text = std::string("argument '") + name + "': " + utf8(original_text.get());
    Ref message = str(text);
    if (!message) return;
    Ref prefixed = Ref::steal(PyObject_CallFunctionObjArgs(as_class, message.get(), nullptr));
    if (!prefixed) return;
    PyException_SetCause(prefixed.get(), v.release());  // steals the cause
    PyErr_SetObject(as_class, prefixed.get());
}

namespace {}  // namespace

void raise_wrong_type(PyObject* value, const char* name, const char* expected) {
    Ref type_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    std::string text = std::string("argument '") + name + "': '" + (type_name ? utf8(type_name.get()) : "?") +
                       "' object is not an instance of '" + expected + "'";
    PyErr_SetString(PyExc_TypeError, text.c_str());
}

namespace {

bool is_numpy_bool(PyObject* value) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    const std::string type_name = utf8(name.get());
    return utf8(module.get()) == "numpy" && (type_name == "bool_" || type_name == "bool");
}

}  // namespace

bool to_u32(PyObject* value, const char* name, std::uint32_t& out) {
    Ref number = Ref::borrow(value);
    if (!PyLong_Check(value)) {
        number = Ref::steal(PyNumber_Index(value));
        if (!number) {
            prefix_argument_error(name);
            return false;
        }
    }
    long long v = PyLong_AsLongLong(number.get());
    if (v == -1 && PyErr_Occurred()) {
        // Beyond 64 bits is out of range like anything beyond 32.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            prefix_argument_error(name);
            return false;
        }
        PyErr_Clear();
        v = -1;
    }
    if (v < 0 || v > 0xFFFFFFFFll) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_bool(PyObject* value, const char* name, bool& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    if (is_numpy_bool(value)) {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_wrong_type(value, name, "bool");
    return false;
}

bool to_str(PyObject* value, const char* name, std::string& out) {
    if (!PyUnicode_Check(value)) {
        raise_wrong_type(value, name, "str");
        return false;
    }
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(value));
    if (!bytes) {
        // Lone surrogates: a bad value rather than a bad type, named like every argument error.
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            rename_argument_error(name, PyExc_ValueError);
        else
            prefix_argument_error(name);
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

}  // namespace vistrel::py
