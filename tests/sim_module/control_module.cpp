// _vistrel_sim: the test-only control module of the simulated machine. It shares the
// machine with _vistrel through libvistrel_sim: tests shape the machine, make calls
// fail, and read the call trace and the live-object count.
#include <string>
#include <utility>

#include "platform/sim/machine.h"
#include "src/errors.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/method.h"
#include "src/py/numpy_api.h"
#include "src/py/text.h"

namespace vistrel::sim {
namespace {

using py::Ref;

// Every function Python calls runs its body here: no C++ exception reaches the interpreter.
template <class Body>
PyObject* entry(Body&& body) {
    return py::guarded(std::forward<Body>(body), static_cast<PyObject*>(nullptr));
}

bool to_u16(PyObject* text, std::u16string& out) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-16-le", "surrogatepass"));
    if (!bytes) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
    out.assign(reinterpret_cast<const char16_t*>(data), static_cast<std::size_t>(size) / 2);
    return true;
}

// dict[key] if present (borrowed), else null without an error.
PyObject* item(PyObject* dict, const char* key) { return PyDict_GetItemString(dict, key); }

template <class T>
bool read_int(PyObject* dict, const char* key, T& out) {
    PyObject* value = item(dict, key);
    if (!value) return true;
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    out = static_cast<T>(v);
    return true;
}

bool read_bool(PyObject* dict, const char* key, bool& out) {
    PyObject* value = item(dict, key);
    if (!value) return true;
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool read_text(PyObject* dict, const char* key, std::u16string& out) {
    PyObject* value = item(dict, key);
    return !value || to_u16(value, out);
}

template <class A, class B>
bool read_pair(PyObject* dict, const char* key, A& first, B& second, bool& present) {
    PyObject* value = item(dict, key);
    present = value != nullptr;
    if (!value) return true;
    long long a = 0, b = 0;
    if (!PyArg_ParseTuple(value, "LL", &a, &b)) return false;
    first = static_cast<A>(a);
    second = static_cast<B>(b);
    return true;
}

bool parse_output(PyObject* dict, OutputConfig& out) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "an output must be a dict");
        return false;
    }
    bool has_origin = false, has_mode = false;
    std::uint32_t mode_w = 0, mode_h = 0;
    if (!read_text(dict, "device_name", out.device_name) || !read_int(dict, "width", out.width) ||
        !read_int(dict, "height", out.height) || !read_int(dict, "rotation", out.rotation) ||
        !read_bool(dict, "attached", out.attached) ||
        !read_pair(dict, "desktop_origin", out.origin_x, out.origin_y, has_origin) ||
        !read_pair(dict, "mode", mode_w, mode_h, has_mode) ||
        !read_bool(dict, "blank_first_frame", out.blank_first_frame) || !read_bool(dict, "hdr", out.hdr) ||
        !read_int(dict, "surface_format", out.surface_format))
        return false;
    if (has_mode) out.mode = std::make_pair(mode_w, mode_h);
    return true;
}

bool parse_adapter(PyObject* dict, AdapterConfig& out) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "an adapter must be a dict");
        return false;
    }
    bool has_luid = false;
    if (!read_text(dict, "description", out.description) || !read_int(dict, "vendor_id", out.vendor_id) ||
        !read_int(dict, "device_id", out.device_id) ||
        !read_int(dict, "dedicated_video_memory", out.dedicated_video_memory) ||
        !read_pair(dict, "luid", out.luid.LowPart, out.luid.HighPart, has_luid) ||
        !read_bool(dict, "feature_level_11_0", out.feature_level_11_0))
        return false;
    PyObject* outputs = item(dict, "outputs");
    if (!outputs) return true;
    Ref sequence = Ref::steal(PySequence_Fast(outputs, "outputs must be a sequence"));
    if (!sequence) return false;
    for (Py_ssize_t i = 0; i < PySequence_Size(sequence.get()); ++i) {
        Ref output = Ref::steal(PySequence_GetItem(sequence.get(), i));
        if (!output || !parse_output(output.get(), out.outputs.emplace_back())) return false;
    }
    return true;
}

PyObject* reset_machine(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"machine", nullptr};
        PyObject* machine_arg = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(keywords), &machine_arg))
            return nullptr;
        MachineConfig machine = MachineConfig::default_machine();
        if (machine_arg != Py_None) {
            machine.adapters.clear();
            Ref sequence = Ref::steal(PySequence_Fast(machine_arg, "machine must be a list of adapter dicts"));
            if (!sequence) return nullptr;
            for (Py_ssize_t i = 0; i < PySequence_Size(sequence.get()); ++i) {
                Ref adapter = Ref::steal(PySequence_GetItem(sequence.get(), i));
                if (!adapter || !parse_adapter(adapter.get(), machine.adapters.emplace_back())) return nullptr;
            }
        }
        reset(std::move(machine));
        Py_RETURN_NONE;
    });
}

PyObject* fail_operation(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"operation", "hresult",     "times",      "skip",
                                         "null",      "description", "restricted", nullptr};
        const char* operation = nullptr;
        PyObject* hresult = Py_None;
        PyObject* description = Py_None;
        PyObject* restricted = Py_None;
        int times = 1, skip = 0, null = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O$iipOO", const_cast<char**>(keywords), &operation, &hresult,
                                         &times, &skip, &null, &description, &restricted))
            return nullptr;
        Fault fault;
        if (hresult != Py_None) {
            long long code = PyLong_AsLongLong(hresult);
            if (code == -1 && PyErr_Occurred()) return nullptr;
            fault.hresult = static_cast<HRESULT>(static_cast<std::uint32_t>(code));
        }
        fault.times = times;
        fault.skip = skip;
        fault.null = null != 0;
        if (description != Py_None && !to_u16(description, fault.description.emplace())) return nullptr;
        if (restricted != Py_None && !to_u16(restricted, fault.restricted_description.emplace())) return nullptr;
        if (!fail(operation, std::move(fault))) {
            PyErr_Format(PyExc_ValueError, "unknown operation \"%s\": no simulated call consults it", operation);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* clear(PyObject*, PyObject*) {
    return entry([&]() -> PyObject* {
        clear_faults();
        Py_RETURN_NONE;
    });
}

PyObject* read_trace(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"clear", nullptr};
        int clear_after = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p", const_cast<char**>(keywords), &clear_after))
            return nullptr;
        std::vector<std::string> calls = trace(clear_after != 0);
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const std::string& call : calls) {
            Ref name = py::str(call);
            if (!name || PyList_Append(list.get(), name.get()) != 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* count_live(PyObject*, PyObject*) {
    return entry([&]() -> PyObject* { return PyLong_FromLong(live_objects()); });
}

bool bytes_of(PyObject* object, std::vector<std::uint8_t>& out) {
    Ref bytes = Ref::steal(PyBytes_FromObject(object));
    if (!bytes) return false;
    char* raw = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &raw, &size) != 0) return false;
    out.assign(raw, raw + size);
    return true;
}

bool parse_shape(PyObject* dict, PointerShape& shape) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "shape must be a dict");
        return false;
    }
    bool has_hotspot = false;
    if (!read_int(dict, "type", shape.type) || !read_int(dict, "width", shape.width) ||
        !read_int(dict, "height", shape.height) || !read_int(dict, "pitch", shape.pitch) ||
        !read_pair(dict, "hotspot", shape.hotspot_x, shape.hotspot_y, has_hotspot))
        return false;
    PyObject* data = item(dict, "data");
    return !data || bytes_of(data, shape.data);
}

bool parse_pointer(PyObject* dict, PointerUpdate& pointer) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "pointer must be a dict");
        return false;
    }
    std::int32_t value = 0;
    if (item(dict, "x")) {
        if (!read_int(dict, "x", value)) return false;
        pointer.x = value;
    }
    if (item(dict, "y")) {
        if (!read_int(dict, "y", value)) return false;
        pointer.y = value;
    }
    if (item(dict, "visible")) {
        bool visible = false;
        if (!read_bool(dict, "visible", visible)) return false;
        pointer.visible = visible;
    }
    if (PyObject* shape = item(dict, "shape")) return parse_shape(shape, pointer.shape.emplace());
    return true;
}

PyObject* present_update(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"device", "output", "image", "pointer", nullptr};
        unsigned int device = 0, output = 0;
        PyObject* image_object = Py_None;
        PyObject* pointer_object = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "II|O$O", const_cast<char**>(keywords), &device, &output,
                                         &image_object, &pointer_object))
            return nullptr;
        std::vector<std::uint8_t> pixels;
        if (image_object != Py_None && !bytes_of(image_object, pixels)) return nullptr;
        PointerUpdate pointer;
        if (pointer_object != Py_None && !parse_pointer(pointer_object, pointer)) return nullptr;
        std::int64_t time;
        {
            // Presenting wakes waiting acquisitions; they may be waiting without the lock.
            py::ReleaseGil released;
            time = present(device, output, image_object != Py_None ? &pixels : nullptr,
                           pointer_object != Py_None ? &pointer : nullptr);
        }
        if (time < 0) {
            PyErr_SetString(PyExc_ValueError, "no such output, or an image of the wrong size");
            return nullptr;
        }
        return PyLong_FromLongLong(time);
    });
}

PyObject* output_image(PyObject*, PyObject* args) {
    return entry([&]() -> PyObject* {
        unsigned int device = 0, output = 0;
        if (!PyArg_ParseTuple(args, "II", &device, &output)) return nullptr;
        if (!mode(device, output)) {
            PyErr_SetString(PyExc_ValueError, "no such output");
            return nullptr;
        }
        std::vector<std::uint8_t> pixels = image(device, output);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pixels.data()),
                                         static_cast<Py_ssize_t>(pixels.size()));
    });
}

PyObject* animate_output(PyObject*, PyObject* args) {
    return entry([&]() -> PyObject* {
        unsigned int device = 0, output = 0;
        double hz = 0;
        if (!PyArg_ParseTuple(args, "IId", &device, &output, &hz)) return nullptr;
        bool known;
        {
            py::ReleaseGil released;  // stopping joins the presenter thread
            known = animate(device, output, hz);
        }
        if (!known) {
            PyErr_SetString(PyExc_ValueError, "no such output");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* cursor_info(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"flags", "x", "y", "ok", nullptr};
        unsigned int flags = 1;
        int x = 0, y = 0, ok = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Iiip", const_cast<char**>(keywords), &flags, &x, &y, &ok))
            return nullptr;
        set_cursor_info({flags, x, y, ok != 0});
        Py_RETURN_NONE;
    });
}

PyObject* lose(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"device", "output", "mode", nullptr};
        unsigned int device = 0, output = 0;
        PyObject* mode_object = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "II|O", const_cast<char**>(keywords), &device, &output,
                                         &mode_object))
            return nullptr;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> new_mode;
        if (mode_object != Py_None) {
            unsigned int w = 0, h = 0;
            if (!PyArg_ParseTuple(mode_object, "II", &w, &h)) return nullptr;
            new_mode = std::make_pair(w, h);
        }
        bool known;
        {
            py::ReleaseGil released;
            known = lose_access(device, output, new_mode);
        }
        if (!known) {
            PyErr_SetString(PyExc_ValueError, "no such output");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* show_secure_desktop(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const char* keywords[] = {"device", "output", "on", nullptr};
        unsigned int device = 0, output = 0;
        int on = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "IIp", const_cast<char**>(keywords), &device, &output, &on))
            return nullptr;
        bool known;
        {
            py::ReleaseGil released;
            known = secure_desktop(device, output, on != 0);
        }
        if (!known) {
            PyErr_SetString(PyExc_ValueError, "no such output");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// A uint8 array made through the module's own NumPy loader, so the loader is exercised
// under every NumPy a test interpreter has. Filled with `value`.
PyObject* make_array(PyObject*, PyObject* args) {
    unsigned int height = 0, width = 0, channels = 0, value = 0;
    if (!PyArg_ParseTuple(args, "III|I", &height, &width, &channels, &value)) return nullptr;
    return entry([&]() -> PyObject* {
        std::uint8_t* data = nullptr;
        Ref array = py::new_uint8_array(height, width, channels, &data);
        if (!array) return nullptr;
        for (std::size_t i = 0; i < std::size_t{height} * width * channels; ++i)
            data[i] = static_cast<std::uint8_t>(value);
        return array.release();
    });
}

PyObject* read_shared_texture(PyObject*, PyObject* args) {
    return entry([&]() -> PyObject* {
        unsigned long long handle = 0;
        if (!PyArg_ParseTuple(args, "K", &handle)) return nullptr;
        std::vector<std::uint8_t> pixels;
        {
            py::ReleaseGil released;
            pixels = read_shared(static_cast<std::uintptr_t>(handle));
        }
        if (pixels.empty()) {
            PyErr_SetString(PyExc_ValueError, "no shared texture behind this handle");
            return nullptr;
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pixels.data()),
                                         static_cast<Py_ssize_t>(pixels.size()));
    });
}

PyObject* hold_shared_texture(PyObject*, PyObject* args) {
    return entry([&]() -> PyObject* {
        unsigned long long handle = 0;
        unsigned int milliseconds = 0;
        if (!PyArg_ParseTuple(args, "KI", &handle, &milliseconds)) return nullptr;
        if (!hold_shared(static_cast<std::uintptr_t>(handle), milliseconds)) {
            PyErr_SetString(PyExc_ValueError, "no shared texture behind this handle");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* count_handles(PyObject*, PyObject*) {
    return entry([&]() -> PyObject* { return PyLong_FromSize_t(open_handles()); });
}

PyMethodDef g_methods[] = {
    {"read_shared", read_shared_texture, METH_VARARGS,
     "read_shared(handle)\n--\n\nA consumer's view of a shared texture: its pixels, packed BGRA."},
    {"hold_shared", hold_shared_texture, METH_VARARGS,
     "hold_shared(handle, ms)\n--\n\nA consumer holding key 0 of the texture's keyed mutex for ms milliseconds."},
    {"open_handles", count_handles, METH_NOARGS, "open_handles()\n--\n\nShared-texture NT handles still open."},
    {"reset", py::method(&reset_machine), METH_VARARGS | METH_KEYWORDS,
     "reset(machine=None)\n--\n\nReplace the simulated machine; clear faults and the trace."},
    {"fail", py::method(&fail_operation), METH_VARARGS | METH_KEYWORDS,
     "fail(operation, hresult=None, *, times=1, skip=0, null=False, description=None, restricted=None)\n--\n\n"
     "Make the next calls of an operation fail (or succeed without an object). Besides the platform's "
     "operation names, \"D3D11CreateDevice:context\" with null=True hands out a device without its context. "
     "A name no simulated call consults raises ValueError."},
    {"clear_faults", clear, METH_NOARGS, "clear_faults()\n--\n\n"},
    {"trace", py::method(&read_trace), METH_VARARGS | METH_KEYWORDS,
     "trace(clear=True)\n--\n\nThe operations called since the last clear."},
    {"live_objects", count_live, METH_NOARGS, "live_objects()\n--\n\nSimulated objects and handles still alive."},
    {"present", py::method(&present_update), METH_VARARGS | METH_KEYWORDS,
     "present(device, output, image=None, *, pointer=None)\n--\n\n"
     "Queue a desktop update on every live duplication of the output; returns its present time."},
    {"image", output_image, METH_VARARGS, "image(device, output)\n--\n\nThe output's current image, packed BGRA."},
    {"animate", animate_output, METH_VARARGS,
     "animate(device, output, hz)\n--\n\nChange the image hz times a second (0 stops); "
     "the frame counter is in the first pixel."},
    {"set_cursor_info", py::method(&cursor_info), METH_VARARGS | METH_KEYWORDS,
     "set_cursor_info(flags=1, x=0, y=0, ok=True)\n--\n\nWhat GetCursorInfo answers."},
    {"lose_access", py::method(&lose), METH_VARARGS | METH_KEYWORDS,
     "lose_access(device, output, mode=None)\n--\n\n"
     "Existing duplications of the output fail with ACCESS_LOST; new ones work, at mode (w, h) if given."},
    {"secure_desktop", py::method(&show_secure_desktop), METH_VARARGS | METH_KEYWORDS,
     "secure_desktop(device, output, on)\n--\n\n"
     "While on, duplications of the output are lost and new ones refused with E_ACCESSDENIED; once off, a "
     "fresh duplication's first frame is the current desktop."},
    {"make_array", make_array, METH_VARARGS, "make_array(height, width, channels, value=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {{0, nullptr}};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_vistrel_sim",
    "Control of the simulated machine (tests only).",
    0,
    g_methods,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vistrel::sim

PyMODINIT_FUNC PyInit__vistrel_sim() { return PyModuleDef_Init(&vistrel::sim::g_definition); }
