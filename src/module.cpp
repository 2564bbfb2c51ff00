// _vistrel: desktop capture into NumPy arrays. This file is the module's entry point:
// its definition, the execution step that fills the namespace, and the three
// module-level functions that describe the machine's adapters and outputs.
#include <string>

#include "duplication/enumerate.h"
#include "platform/provider_name.h"
#include "platform/utf16.h"
#include "src/capture/background.h"
#include "src/capture/capturer.h"
#include "src/capture/capturer_type.h"
#include "src/errors.h"
#include "src/gpu/gpu_texture_type.h"
#include "src/pacing/frames_iter_type.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/method.h"
#include "src/py/text.h"

namespace vistrel {
namespace {

// Builds a Python value for the enumeration; a failure here (memory exhaustion) becomes
// a failure described by the Python error's text.
Failure python_failure() { return Failure::described(take_python_error_text()); }

py::Ref output_dict(std::uint32_t device_idx, std::uint32_t output_idx, const DXGI_ADAPTER_DESC1& adapter,
                    const DXGI_OUTPUT_DESC& output, const std::string& pixel_path) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) return {};
    std::string name = utf16_to_utf8_lossy(wide_field(adapter.Description));
    std::string output_name = utf16_to_utf8_lossy(wide_field(output.DeviceName));
    using py::Ref;
    PyObject* d = dict.get();
    bool ok = py::set_item(d, "device_idx", Ref::steal(PyLong_FromUnsignedLong(device_idx))) &&
              py::set_item(d, "output_idx", Ref::steal(PyLong_FromUnsignedLong(output_idx))) &&
              py::set_item(d, "name", py::str(name)) && py::set_item(d, "output_name", py::str(output_name)) &&
              py::set_item(d, "width", Ref::steal(PyLong_FromUnsignedLong(output_width(output)))) &&
              py::set_item(d, "height", Ref::steal(PyLong_FromUnsignedLong(output_height(output)))) &&
              py::set_item(d, "rotation", Ref::steal(PyLong_FromLong(static_cast<long>(output.Rotation)))) &&
              py::set_item(d, "is_primary", Ref::steal(PyBool_FromLong(output.AttachedToDesktop != 0))) &&
              py::set_item(d, "provider", py::str(provider_name())) &&
              py::set_item(d, "pixel_path", py::str(pixel_path));
    return ok ? dict : py::Ref();
}

// Enumeration talks to the display, up to the provider's opening time-out when it is
// silent: other Python threads run meanwhile.
Result<std::vector<AdapterEntry>> walk_adapters_unlocked(WalkOptions options) {
    py::ReleaseGil released;
    return walk_adapters(options);
}

PyObject* list_outputs(PyObject*, PyObject*) {
    return py::guarded(
        []() -> PyObject* {
            auto adapters = walk_adapters_unlocked(
                {.read_adapter_descriptions = true, .walk_outputs = true, .read_pixel_paths = true});
            if (!adapters) return raise_failure(adapters.take_failure());
            py::Ref list = py::Ref::steal(PyList_New(0));
            if (!list) return raise_failure(python_failure());
            for (std::uint32_t i = 0; i < adapters.value().size(); ++i) {
                const AdapterEntry& adapter = adapters.value()[i];
                for (std::uint32_t j = 0; j < adapter.outputs.size(); ++j) {
                    py::Ref dict = output_dict(i, j, adapter.desc, adapter.outputs[j], adapter.pixel_paths[j]);
                    if (!dict || PyList_Append(list.get(), dict.get()) != 0) return raise_failure(python_failure());
                }
            }
            return list.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* device_info(PyObject*, PyObject*) {
    return py::guarded(
        []() -> PyObject* {
            auto adapters = walk_adapters_unlocked({.read_adapter_descriptions = true, .walk_outputs = false});
            if (!adapters) return raise_failure(adapters.take_failure());
            std::string text;
            for (std::uint32_t i = 0; i < adapters.value().size(); ++i)
                text += device_info_line(i, adapters.value()[i].desc);
            py::Ref result = py::str(text);
            if (!result) return raise_failure(python_failure());
            return result.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* output_info(PyObject*, PyObject*) {
    return py::guarded(
        []() -> PyObject* {
            auto adapters = walk_adapters_unlocked({.read_adapter_descriptions = false, .walk_outputs = true});
            if (!adapters) return raise_failure(adapters.take_failure());
            std::string text;
            for (std::uint32_t i = 0; i < adapters.value().size(); ++i) {
                const AdapterEntry& adapter = adapters.value()[i];
                for (std::uint32_t j = 0; j < adapter.outputs.size(); ++j)
                    text += output_info_line(i, j, adapter.outputs[j]);
            }
            py::Ref result = py::str(text);
            if (!result) return raise_failure(python_failure());
            return result.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef g_list_outputs = {"list_outputs", list_outputs, METH_NOARGS,
                              "list_outputs()\n--\n\nReturns a list of dicts (one per output across all adapters)."};
PyMethodDef g_screenshot = {
    "_screenshot", py::method(&screenshot_once), METH_VARARGS | METH_KEYWORDS,
    "_screenshot(output=0, *, device=0, fmt='rgb', region=None, cursor=True, timeout_ms=1000, raw=False)\n"
    "--\n\nOne image of an output, from a duplication opened for it alone (vistrel.screenshot); with raw,\n"
    "(bytes, (height, width, channels)) instead of an array, without NumPy."};
PyMethodDef g_device_info = {"device_info", device_info, METH_NOARGS, "device_info()\n--\n\n"};
PyMethodDef g_output_info = {"output_info", output_info, METH_NOARGS, "output_info()\n--\n\n"};

// Appends `name` to the module's __all__ (creating the list if missing), then sets
// the attribute; -1 (exception set) when `value` is null or either step fails.
int add_exported(PyObject* module, const char* name, py::Ref owned) {
    if (!owned) return -1;
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = py::Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    py::Ref key = py::str(name);
    if (!key || PyList_Append(all.get(), key.get()) != 0) return -1;
    return PyObject_SetAttrString(module, name, owned.get());
}

// An owned reference to an object the module keeps alive for the process (a class, an
// exception class), to hand to a function that takes a reference over.
py::Ref owned(void* process_object) { return py::Ref::borrow(static_cast<PyObject*>(process_object)); }

py::Ref module_function(PyObject* module, PyMethodDef* def) {
    // The extension's own name, also when it is loaded as vistrel._vistrel.
    py::Ref name = py::str("_vistrel");
    if (!name) return {};
    return py::Ref::steal(PyCMethod_New(def, module, name.get(), nullptr));
}

PyObject* stop_capture_threads(PyObject*, PyObject*) {
    return py::guarded(
        []() -> PyObject* {
            stop_all_capture_threads();
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

// Not in the namespace: only atexit holds it.
PyMethodDef g_exit_hook = {"_stop_capture_threads", stop_capture_threads, METH_NOARGS, nullptr};

// Capture threads end before the interpreter finalises, whatever they are doing then.
int register_exit_hook(PyObject* module) {
    py::Ref atexit = py::Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    py::Ref hook = module_function(module, &g_exit_hook);
    if (!hook) return -1;
    py::Ref registered = py::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return registered ? 0 : -1;
}

int module_exec(PyObject* module) {
    return py::guarded(
        [module]() -> int {
            if (register_exit_hook(module) != 0) return -1;
            if (add_exported(module, "__version__", py::str(VISTREL_VERSION)) != 0) return -1;
            if (add_exported(module, "Capturer", owned(capturer_type())) != 0) return -1;
            if (add_exported(module, "FramesIter", owned(frames_iter_type())) != 0) return -1;
            if (add_exported(module, "GpuTexture", owned(gpu_texture_type())) != 0) return -1;
            const std::pair<const char*, ErrorClass> exceptions[] = {
                {"CaptureError", ErrorClass::CaptureError},         {"DeviceError", ErrorClass::DeviceError},
                {"DuplicationError", ErrorClass::DuplicationError}, {"AccessLost", ErrorClass::AccessLost},
                {"CaptureTimeout", ErrorClass::CaptureTimeout},
            };
            for (const auto& [name, cls] : exceptions)
                if (add_exported(module, name, owned(exception_class(cls))) != 0) return -1;
            for (PyMethodDef* def : {&g_list_outputs, &g_device_info, &g_output_info})
                if (add_exported(module, def->ml_name, module_function(module, def)) != 0) return -1;
            // The package's screenshot(); not part of the module's own namespace list.
            py::Ref screenshot = module_function(module, &g_screenshot);
            if (!screenshot || PyObject_SetAttrString(module, g_screenshot.ml_name, screenshot.get()) != 0) return -1;
            return 0;
        },
        -1);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vistrel",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = g_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vistrel

PyMODINIT_FUNC PyInit__vistrel() { return PyModuleDef_Init(&vistrel::g_definition); }
