#include "src/py/numpy_api.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "src/errors.h"
#include "src/py/once.h"

namespace vistrel::py {
namespace {

GilOnce g_numpy_once;
void** g_numpy_table = nullptr;  // never released: lives for the process

// Table positions, identical in NumPy 1 and 2.
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kNewshapeSlot = 135;
constexpr int kSetBaseObjectSlot = 282;
constexpr int kUint8TypeNum = 2;                        // NPY_UBYTE
constexpr int kCArrayFlags = 0x0001 | 0x0100 | 0x0400;  // C-contiguous, aligned, writeable
constexpr int kAnyOrder = -1;

struct ArrayDims {  // PyArray_Dims
    Py_ssize_t* ptr;
    int len;
};
using Newshape = PyObject* (*)(PyObject*, ArrayDims*, int);
using SetBaseObject = int (*)(PyObject*, PyObject*);  // steals the base
constexpr const char* kBytesCapsule = "vistrel.frame_bytes";
constexpr const char* kKeptCapsule = "vistrel.kept_frame";

using DescrFromType = PyObject* (*)(int);
// Steals the descriptor reference.
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*, int,
                                   PyObject*);

// The head of NumPy's array object: its layout is part of NumPy's ABI.
struct ArrayHead {
    PyObject_HEAD char* data;
};
static_assert(offsetof(ArrayHead, data) == sizeof(PyObject), "NumPy's data pointer follows the object head");

// Loads the table; on failure returns null with a Python error pending.
void** load_table() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "(O)", version.get()));
    if (!parsed) return nullptr;
    Ref major_object = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) return nullptr;
    long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    if (major < 0 || major > 255) {
        PyErr_Format(PyExc_OverflowError, "NumPy major version %ld does not fit in 8 bits", major);
        return nullptr;
    }
    const char* multiarray = major > 1 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref module = Ref::steal(PyImport_ImportModule(multiarray));
    if (!module) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return nullptr;
    }
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
}

}  // namespace

void** numpy_api() {
    std::string error;
    bool interrupted = false;
    bool ready = g_numpy_once.ensure([&] {
        g_numpy_table = load_table();
        if (!g_numpy_table) {
            interrupted = interpreter_exception_pending();
            if (!interrupted) error = take_python_error_text();
        }
        return g_numpy_table != nullptr;
    });
    if (interrupted) throw PythonErrorSet();
    if (!ready) {
        std::string text = "Failed to access NumPy array API capsule";
        if (!error.empty()) text += ": " + error;
        throw InternalFault(text);
    }
    return g_numpy_table;
}

Ref new_uint8_array(std::uint32_t height, std::uint32_t width, std::uint32_t channels, std::uint8_t** data) {
    void** api = numpy_api();
    const Py_ssize_t dims[3] = {static_cast<Py_ssize_t>(height), static_cast<Py_ssize_t>(width),
                                static_cast<Py_ssize_t>(channels)};
    auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
    PyObject* descr = reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot])(kUint8TypeNum);
    if (!descr) return {};
    // No strides and no data: NumPy allocates C-contiguous memory that the array owns.
    Ref array = Ref::steal(reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot])(array_type, descr, 3, dims, nullptr,
                                                                                  nullptr, 0, nullptr));
    if (array && data) *data = reinterpret_cast<std::uint8_t*>(reinterpret_cast<ArrayHead*>(array.get())->data);
    return array;
}

Ref new_flat_uint8_array(std::size_t length, std::uint8_t** data) {
    void** api = numpy_api();
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(length)};
    auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
    PyObject* descr = reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot])(kUint8TypeNum);
    if (!descr) return {};
    Ref flat = Ref::steal(reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot])(array_type, descr, 1, dims, nullptr,
                                                                                 nullptr, 0, nullptr));
    if (flat && data) *data = reinterpret_cast<std::uint8_t*>(reinterpret_cast<ArrayHead*>(flat.get())->data);
    return flat;
}

Ref reshape_frame(const Ref& flat, std::uint32_t height, std::uint32_t width, std::uint32_t channels) {
    void** api = numpy_api();
    Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(height), static_cast<Py_ssize_t>(width),
                           static_cast<Py_ssize_t>(channels)};
    ArrayDims dims{shape, 3};
    return Ref::steal(reinterpret_cast<Newshape>(api[kNewshapeSlot])(flat.get(), &dims, kAnyOrder));
}

Ref copy_frame(const std::uint8_t* bytes, std::uint32_t height, std::uint32_t width, std::uint32_t channels) {
    const std::size_t length = std::size_t{height} * width * channels;
    std::uint8_t* data = nullptr;
    Ref flat = new_flat_uint8_array(length, &data);
    if (!flat) return {};
    if (length) std::memcpy(data, bytes, length);
    return reshape_frame(flat, height, width, channels);
}

namespace {

// A writable (height, width, channels) view of a one-dimensional array over `data`, whose
// base object is `owner`, the capsule that keeps the memory alive.
Ref array_over(std::uint8_t* data, std::uint32_t height, std::uint32_t width, std::uint32_t channels, Ref owner) {
    void** api = numpy_api();
    const Py_ssize_t length = static_cast<Py_ssize_t>(std::size_t{height} * width * channels);
    auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
    PyObject* descr = reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot])(kUint8TypeNum);
    if (!descr) return {};
    Ref flat = Ref::steal(reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot])(array_type, descr, 1, &length, nullptr,
                                                                                 data, kCArrayFlags, nullptr));
    if (!flat) return {};
    if (reinterpret_cast<SetBaseObject>(api[kSetBaseObjectSlot])(flat.get(), owner.release()) != 0) return {};
    return reshape_frame(flat, height, width, channels);
}

}  // namespace

Ref wrap_bytes(std::unique_ptr<std::uint8_t[]> bytes, std::uint32_t height, std::uint32_t width,
               std::uint32_t channels) {
    std::uint8_t* data = bytes.get();
    Ref capsule = Ref::steal(PyCapsule_New(data, kBytesCapsule, [](PyObject* c) {
        delete[] static_cast<std::uint8_t*>(PyCapsule_GetPointer(c, kBytesCapsule));
    }));
    if (!capsule) return {};
    bytes.release();  // the capsule owns the bytes now
    return array_over(data, height, width, channels, std::move(capsule));
}

Ref wrap_kept(std::uint8_t* data, std::uint32_t height, std::uint32_t width, std::uint32_t channels,
              std::shared_ptr<void> owner) {
    auto held = std::make_unique<std::shared_ptr<void>>(std::move(owner));
    Ref capsule = Ref::steal(PyCapsule_New(held.get(), kKeptCapsule, [](PyObject* c) {
        delete static_cast<std::shared_ptr<void>*>(PyCapsule_GetPointer(c, kKeptCapsule));
    }));
    if (!capsule) return {};
    held.release();  // the capsule holds the owner now
    return array_over(data, height, width, channels, std::move(capsule));
}

}  // namespace vistrel::py
