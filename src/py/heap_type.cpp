#include "src/py/heap_type.h"

#include <string>

#include "src/py/text.h"

namespace vistrel::py {

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

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
