// The Python side of failures: the module's exception classes, the conversion of a
// Failure into exactly one exception, and the internal-fault channel for conditions
// that correct use does not reach.
#pragma once

#include <string>

#include "duplication/failure.h"
#include "src/py/ref.h"

namespace vistrel {

// The classes a failure can be raised as.
enum class ErrorClass {
    CaptureError,
    DeviceError,
    DuplicationError,
    AccessLost,
    CaptureTimeout,
    InternalFault,
    RuntimeError,
    ValueError,
    TypeError,
};

// The process-wide class object (borrowed), created on first use. Null, with the
// internal-fault exception set, if it could not be created.
PyObject* exception_class(ErrorClass cls);

// An exception ready to be raised, possibly on another thread than the one that made it.
// Made and dropped freely without the interpreter lock unless it holds an instance.
class PendingError {
public:
    PendingError(ErrorClass cls, std::string message) : class_(cls), message_(std::move(message)) {}
    // A finished exception (type, value, traceback as PyErr_Fetch gives them).
    PendingError(py::Ref type, py::Ref value, py::Ref traceback);
    PendingError(PendingError&&) noexcept;
    PendingError& operator=(PendingError&&) noexcept;
    ~PendingError();

    // Sets the error indicator (interpreter lock held). Leaves this object empty.
    void raise();
    // The exception as "<class qualified name>: <str()>" (lock held); "<exception str() failed>"
    // stands for a str() that raised.
    std::string as_text() const;

private:
    void drop_references();

    ErrorClass class_ = ErrorClass::RuntimeError;
    std::string message_;
    // Set only for a finished exception; dropped under the interpreter lock.
    py::Ref type_;
    py::Ref value_;
    py::Ref traceback_;
};

// Consumes the failure. For Hresult it takes the interpreter lock if the caller does
// not hold it, and builds the exception instance with its `hresult` attribute.
PendingError failure_to_exception(Failure failure);

// Raises the failure at a Python boundary (or what a signal handler raises first, when a
// signal cut the failed wait short); returns null for the caller to return.
PyObject* raise_failure(Failure failure);

// The message of a failed call, in the provider's words ("DXGI 0x........: text" on Windows).
std::string hresult_message(std::uint32_t code, IErrorInfo* error_info);

// Sets the internal-fault exception with `text`.
void raise_internal_fault(const std::string& text);

// Thrown below an entry point when the Python exception already set must reach the
// caller as itself (KeyboardInterrupt, SystemExit, MemoryError raised by the interpreter).
class PythonErrorSet : public std::exception {
public:
    const char* what() const noexcept override { return "Python exception set"; }
};

// Whether the pending exception is one the interpreter raised on its own account
// (a signal handler's KeyboardInterrupt, SystemExit, MemoryError), which no caller
// should see disguised as another.
bool interpreter_exception_pending();

// Describes the pending Python error as "TypeName: str" and clears it.
std::string take_python_error_text();

}  // namespace vistrel
