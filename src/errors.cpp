#include "src/errors.h"

#include <array>
#include <cstdio>

#include "platform/os.h"
#include "platform/words.h"
#include "src/capture/lifecycle.h"
#include "src/py/gil.h"
#include "src/py/once.h"
#include "src/py/text.h"

namespace vistrel {
namespace {

struct ClassSlot {
    py::GilOnce once;
    PyObject* object = nullptr;  // never released: lives for the process
};

constexpr std::size_t kModuleClasses = 6;  // CaptureError .. InternalFault
std::array<ClassSlot, kModuleClasses> g_classes;

// The module's classes by ErrorClass value, with their qualified names.
struct ModuleClass {
    ErrorClass cls;
    const char* name;
};
constexpr ModuleClass kModuleClassNames[kModuleClasses] = {
    {ErrorClass::CaptureError, "_vistrel.CaptureError"},         {ErrorClass::DeviceError, "_vistrel.DeviceError"},
    {ErrorClass::DuplicationError, "_vistrel.DuplicationError"}, {ErrorClass::AccessLost, "_vistrel.AccessLost"},
    {ErrorClass::CaptureTimeout, "_vistrel.CaptureTimeout"},     {ErrorClass::InternalFault, "_vistrel.InternalFault"},
};
constexpr bool indexed_by_class() {
    for (std::size_t i = 0; i < kModuleClasses; ++i)
        if (static_cast<std::size_t>(kModuleClassNames[i].cls) != i) return false;
    return true;
}
static_assert(indexed_by_class(), "the class table is indexed by ErrorClass");

const char* const kInternalFaultDoc = "An internal fault of _vistrel: a condition that correct use does not reach.";

PyObject* create_class(ErrorClass cls) {
    auto index = static_cast<std::size_t>(cls);
    PyObject* base = nullptr;
    const char* doc = nullptr;
    if (cls == ErrorClass::InternalFault) {
        base = PyExc_BaseException;
        doc = kInternalFaultDoc;
    } else if (cls == ErrorClass::CaptureError) {
        base = PyExc_Exception;
    } else {
        base = exception_class(ErrorClass::CaptureError);
        if (!base) return nullptr;
    }
    return PyErr_NewExceptionWithDoc(kModuleClassNames[index].name, doc, base, nullptr);
}

}  // namespace

PyObject* exception_class(ErrorClass cls) {
    switch (cls) {
        case ErrorClass::RuntimeError:
            return PyExc_RuntimeError;
        case ErrorClass::ValueError:
            return PyExc_ValueError;
        case ErrorClass::TypeError:
            return PyExc_TypeError;
        default:
            break;
    }
    ClassSlot& slot = g_classes[static_cast<std::size_t>(cls)];
    bool ready = slot.once.ensure([&] {
        slot.object = create_class(cls);
        return slot.object != nullptr;
    });
    if (ready) return slot.object;
    if (cls == ErrorClass::InternalFault) {
        // Without its own class the fault still reaches Python, as a SystemError.
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
    } else {
        PyErr_Clear();
        raise_internal_fault("Failed to initialize new exception type.");
    }
    return nullptr;
}

void raise_internal_fault(const std::string& text) {
    PyObject* cls = exception_class(ErrorClass::InternalFault);
    if (!cls) return;  // a SystemError is set instead
    py::Ref message = py::str(text);
    if (message) PyErr_SetObject(cls, message.get());
}

bool interpreter_exception_pending() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit) ||
           PyErr_ExceptionMatches(PyExc_MemoryError);
}

std::string take_python_error_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    py::Ref t = py::Ref::steal(type), v = py::Ref::steal(value), tb = py::Ref::steal(traceback);
    std::string text;
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (name) text = py::utf8(name.get());
    text += ": ";
    py::Ref s = py::Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
    if (s) text += py::utf8(s.get());
    PyErr_Clear();
    return text;
}

std::string hresult_message(std::uint32_t code, IErrorInfo* error_info) { return words::failed_call(code, error_info); }

PendingError failure_to_exception(Failure failure) {
    switch (failure.kind()) {
        case Failure::Kind::Closed:
            return {ErrorClass::RuntimeError, std::string(refusal_text(Refusal::Closed))};
        case Failure::Kind::IteratorActive:
            return {ErrorClass::RuntimeError, std::string(refusal_text(Refusal::Busy))};
        case Failure::Kind::BadValue:
        case Failure::Kind::Described:
            return {ErrorClass::ValueError, failure.text()};
        case Failure::Kind::DeadlineExpired:
            return {ErrorClass::CaptureTimeout, "deadline expired"};
        case Failure::Kind::Hresult:
            break;
    }
    const std::uint32_t code = failure.code();
    // The text is looked up before taking the lock: it may call into COM.
    std::string message = failure.text().empty() ? hresult_message(code, failure.error_info())
                                                 : words::explained_call(code, failure.text());
    ErrorClass cls = ErrorClass::CaptureError;
    const HRESULT hr = static_cast<HRESULT>(code);
    if (hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET) cls = ErrorClass::DeviceError;
    if (hr == DXGI_ERROR_ACCESS_LOST) cls = ErrorClass::AccessLost;

    py::EnsureGil gil;
    PyObject* type = exception_class(cls);
    py::Ref instance;
    if (type) {
        py::Ref text = py::str(message);
        if (text) instance = py::Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    }
    if (instance) {
        py::Ref hresult = py::Ref::steal(PyLong_FromUnsignedLong(code));
        if (!hresult || PyObject_SetAttrString(instance.get(), "hresult", hresult.get()) != 0) PyErr_Clear();
        py::Ref instance_type = py::Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
        return PendingError(std::move(instance_type), std::move(instance), py::Ref());
    }
    // Building the exception failed (memory exhaustion): that error is what gets raised.
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    return PendingError(py::Ref::steal(t), py::Ref::steal(v), py::Ref::steal(tb));
}

PyObject* raise_failure(Failure failure) {
    // A signal may have cut the failed wait short (Ctrl+C against a silent X server): what
    // its handler raises is what the user asked for.
    if (PyErr_CheckSignals() != 0) return nullptr;
    failure_to_exception(std::move(failure)).raise();
    return nullptr;
}

PendingError::PendingError(py::Ref type, py::Ref value, py::Ref traceback)
    : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

PendingError::PendingError(PendingError&& other) noexcept = default;

PendingError& PendingError::operator=(PendingError&& other) noexcept {
    if (this != &other) {
        drop_references();  // our references go under the lock; the moved ones are null afterwards
        class_ = other.class_;
        message_ = std::move(other.message_);
        type_ = std::move(other.type_);
        value_ = std::move(other.value_);
        traceback_ = std::move(other.traceback_);
    }
    return *this;
}

PendingError::~PendingError() { drop_references(); }

void PendingError::drop_references() {
    if (!type_ && !value_ && !traceback_) return;
    py::EnsureGil gil;
    type_ = {};
    value_ = {};
    traceback_ = {};
}

void PendingError::raise() {
    if (type_) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());  // steals all three
        return;
    }
    PyObject* cls = exception_class(class_);
    if (!cls) return;
    py::Ref message = py::str(message_);
    if (message) PyErr_SetObject(cls, message.get());
}

std::string PendingError::as_text() const {
    PyObject* type = type_ ? type_.get() : exception_class(class_);
    std::string name = "?";
    if (type) {
        py::Ref qualified = py::Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
        if (qualified) name = py::utf8(qualified.get());
    }
    PyErr_Clear();
    if (!type_) return name + ": " + message_;
    py::Ref s = py::Ref::steal(value_ ? PyObject_Str(value_.get()) : nullptr);
    if (!s) {
        PyErr_Clear();
        return name + ": <exception str() failed>";
    }
    return name + ": " + py::utf8(s.get());
}

}  // namespace vistrel
