// Ref: an owning reference to a Python object. A raw PyObject* in this code base is
// always borrowed; whatever is owned lives in a Ref. Use only with the interpreter lock.
#pragma once

#include <utility>

#include "src/py/gil.h"
#include "src/py/python.h"

namespace vistrel::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (the result of a call that returns one); may be null.
    static Ref steal(PyObject* object) {
        Ref r;
        r.object_ = object;
        return r;
    }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return steal(object);
    }

    Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() {
        if (object_ && !lock_lost_to_finalization) Py_DECREF(object_);
    }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (for returning to Python).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Sets dict[key] = value; false (exception set) when `value` is null or the store fails.
inline bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace vistrel::py
