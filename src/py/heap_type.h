// What the module's three classes share as heap types: one process-wide type object
// each, created from its spec on first need, and the dealloc and "no constructor" slots.
#pragma once

#include "src/py/once.h"
#include "src/py/ref.h"

namespace vistrel::py {

// A type object created once per process from `spec` and never freed.
class ProcessType {
public:
    explicit ProcessType(PyType_Spec* spec) : spec_(spec) {}
    // Borrowed; null with an exception set if creation failed.
    PyTypeObject* get() {
        once_.ensure([this] {
            type_ = PyType_FromSpec(spec_);
            return type_ != nullptr;
        });
        return reinterpret_cast<PyTypeObject*>(type_);
    }

private:
    PyType_Spec* spec_;
    GilOnce once_;
    PyObject* type_ = nullptr;
};

// tp_dealloc for a heap type whose instance is a T placed after the object header:
// runs ~T, frees through the type's own free slot, then drops the instance's
// reference to its heap type.
template <class T>
void destroy_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    T::from(self)->~T();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// tp_new for classes that Python code may not instantiate.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace vistrel::py
