// What the module's three thread-bound classes (Capturer, FramesIter, GpuTexture) share:
// an instance that owns its record by pointer, allocation that hands a record over,
// deallocation that releases the record on any thread, the thread and borrow check around
// every method, and the close / __enter__ / __exit__ trio.
#pragma once

#include <memory>
#include <utility>

#include "src/py/heap_type.h"

namespace vistrel::py {

template <class State>
struct BoundObject {
    PyObject_HEAD State* state;  // owned
};

// `Class` names the class: `State` (with `binding` and `borrow`), `kPath` (its path in
// messages), `close(State&)` (close() and __exit__) and `finalise(State&)` (deallocation).
template <class Class>
struct BoundClass {
    using State = typename Class::State;
    using Object = BoundObject<State>;

    static State& state(PyObject* self) { return *reinterpret_cast<Object*>(self)->state; }

    // Runs `body(state)` after the thread check, with the object borrowed (see use_bound).
    template <class Borrow, class Body>
    static auto use(PyObject* self, Body&& body) {
        return use_bound<Borrow>(&state(self), Class::kPath, std::forward<Body>(body));
    }

    // A new instance of `type` that takes `record` over. On failure (null, exception set)
    // `record` stays with the caller, to be wound down there.
    static PyObject* create(PyTypeObject* type, std::unique_ptr<State>& record) {
        if (!type) return nullptr;
        PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
        if (!self) return nullptr;
        reinterpret_cast<Object*>(self)->state = record.release();
        return self;
    }

    static void dealloc(PyObject* self) {
        dealloc_bound<State>(self, reinterpret_cast<Object*>(self)->state, &Class::finalise);
    }

    static PyObject* close(PyObject* self, PyObject*) {
        return use<ExclusiveBorrow>(self, [](State& s) -> PyObject* {
            Class::close(s);
            Py_RETURN_NONE;
        });
    }

    static PyObject* enter(PyObject* self, PyObject*) {
        return use<SharedBorrow>(self, [self](State&) -> PyObject* {
            Py_INCREF(self);
            return self;
        });
    }

    // __iter__ of a class that is its own iterator.
    static PyObject* iter(PyObject* self) { return enter(self, nullptr); }

    static PyObject* exit(PyObject* self, PyObject* args) {
        PyObject *exc_type = nullptr, *exc = nullptr, *tb = nullptr;
        if (!PyArg_ParseTuple(args, "OOO:__exit__", &exc_type, &exc, &tb)) return nullptr;
        return use<ExclusiveBorrow>(self, [](State& s) -> PyObject* {
            Class::close(s);
            Py_RETURN_FALSE;
        });
    }

    // The method table rows of the context manager; `close_doc` is close()'s docstring.
    static constexpr PyMethodDef close_method(const char* close_doc) {
        return {"close", &BoundClass::close, METH_NOARGS, close_doc};
    }
    static constexpr PyMethodDef enter_method() {
        return {"__enter__", &BoundClass::enter, METH_NOARGS, "__enter__($self)\n--\n\n"};
    }
    static constexpr PyMethodDef exit_method() {
        return {"__exit__", &BoundClass::exit, METH_VARARGS, "__exit__($self, _exc_type, _exc, _tb)\n--\n\n"};
    }
};

}  // namespace vistrel::py
