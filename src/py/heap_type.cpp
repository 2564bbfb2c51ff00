#include "src/py/heap_type.h"

#include <string>

#include "src/py/text.h"

namespace vistrel::py {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    // "module.Class" as the type reports itself.
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!module || !name) return nullptr;
    std::string text = "cannot create '" + utf8(module.get()) + "." + utf8(name.get()) + "' instances";
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return nullptr;
}

}  // namespace vistrel::py
