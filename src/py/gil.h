// Scopes over the interpreter lock.
#pragma once

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "src/py/python.h"

namespace vistrel::py {

// True on a thread that the finalising interpreter ended as it took the lock back. The
// frames it unwinds then run without the lock: the Python objects they still hold are left
// to the exiting process, since touching them would take the lock again (and end the
// thread a second time, inside a destructor, which terminates the process).
inline thread_local bool lock_lost_to_finalization = false;

// Releases the lock for the scope: for waits and pixel work that touch no Python object.
// Taking the lock back after the interpreter began to finalise ends a daemon thread with a
// forced unwind, which must pass through this destructor rather than terminate the process.
class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
    ~ReleaseGil() noexcept(false) {
#ifdef __GLIBCXX__
        try {
            PyEval_RestoreThread(state_);
        } catch (abi::__forced_unwind&) {
            lock_lost_to_finalization = true;
            throw;
        }
#else
        PyEval_RestoreThread(state_);
#endif
    }

private:
    PyThreadState* state_;
};

// Holds the lock for the scope, whether or not the calling thread already had it.
class EnsureGil {
public:
    EnsureGil() : state_(PyGILState_Ensure()) {}
    EnsureGil(const EnsureGil&) = delete;
    EnsureGil& operator=(const EnsureGil&) = delete;
    ~EnsureGil() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// Keeps the pending Python error aside for the scope and restores it at the end.
class ErrorGuard {
public:
    ErrorGuard() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;
    ~ErrorGuard() {
        if (!lock_lost_to_finalization) PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace vistrel::py
