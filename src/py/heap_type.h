// What the module's three classes share as heap types: one process-wide type object
// each, created from its type table on first need, and the dealloc and "no constructor" slots.
#pragma once

#include <type_traits>

#include "src/py/binding.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/once.h"
#include "src/py/ref.h"

namespace vistrel::py {

// A type object created once per process from its type table and never freed.
class ProcessType {
public:
    explicit ProcessType(PyType_Spec* type_table) : type_table_(type_table) {}
    // Borrowed; null with an exception set if creation failed.
    PyTypeObject* get() {
        once_.ensure([this] {
            type_ = PyType_FromSpec(type_table_);
            return type_ != nullptr;
        });
        return reinterpret_cast<PyTypeObject*>(type_);
    }

private:
    PyType_Spec* type_table_;
    GilOnce once_;
    PyObject* type_ = nullptr;
};

// Frees an instance through its type's own free slot, then drops the instance's
// reference to its heap type.
void free_instance(PyObject* self);

// tp_dealloc of the module's thread-bound objects, whose record `state` is owned by
// pointer: `finalise(*state)` runs (a pending exception is kept aside; a failure of its
// own is reported as unraisable), the record is deleted, the instance freed. This runs on
// whatever thread drops the last reference (the cyclic collector runs on any thread):
// nothing else can reach the record by then, and what it owns (capture threads, platform
// objects, connections) may be ended and released from any thread.
template <class State>
void dealloc_bound(PyObject* self, State* state, void (*finalise)(State&)) {
    if (state) {
        ErrorGuard pending;
        const int finished = guarded(
            [&]() -> int {
                finalise(*state);
                return 0;
            },
            -1);
        if (finished != 0) PyErr_WriteUnraisable(nullptr);
        delete state;
    }
    free_instance(self);
}

// Runs `body(*state)` for a thread-bound object after the thread check and with the
// object borrowed (Borrow: ExclusiveBorrow or SharedBorrow), inside the C++ exception
// boundary. Returns body's result, or null (-1 for int results) with the exception set.
template <class Borrow, class State, class Body>
auto use_bound(State* state, const char* class_path, Body&& body) {
    using R = decltype(body(*state));
    R on_error{};
    if constexpr (std::is_same_v<R, int>) on_error = -1;
    return guarded(
        [&]() -> R {
            if (!state->binding.check(class_path)) return on_error;
            Borrow borrow(state->borrow);
            if (!borrow.ok()) return on_error;
            return body(*state);
        },
        on_error);
}

// tp_new for classes that Python code may not instantiate.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace vistrel::py
