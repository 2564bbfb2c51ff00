// The Capturer class: construction, attributes, close and the context manager, repr,
// deallocation, and _debug_cursor.
#include "src/capture/capturer_type.h"

#include <string>

#include "duplication/pixel_path.h"
#include "src/capture/capturer.h"
#include "src/errors.h"
#include "src/py/args.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/heap_type.h"
#include "src/py/method.h"
#include "src/py/region_arg.h"
#include "src/py/text.h"

namespace vistrel {
namespace {

PyObject* capturer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded(
        [&]() -> PyObject* {
            static const char* keywords[] = {"output", "cursor", "region", "device", "restore_token", nullptr};
            PyObject *output_arg = nullptr, *cursor_arg = nullptr, *region_arg = nullptr, *device_arg = nullptr,
                     *token_arg = nullptr;
            if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOO:Capturer", const_cast<char**>(keywords),
                                             &output_arg, &cursor_arg, &region_arg, &device_arg, &token_arg))
                return nullptr;
            std::uint32_t output = 0, device = 0;
            bool cursor = true;
            std::optional<RegionArg> region;
            if (output_arg && !py::to_u32(output_arg, "output", output)) return nullptr;
            if (cursor_arg && !py::to_bool(cursor_arg, "cursor", cursor)) return nullptr;
            if (!py::parse_region_arg(region_arg, region)) return nullptr;
            if (device_arg && !py::to_u32(device_arg, "device", device)) return nullptr;
            std::optional<std::string> token;
            if (token_arg && token_arg != Py_None && !py::to_str(token_arg, "restore_token", token.emplace()))
                return nullptr;

            auto opened = open_session_unlocked(device, output, cursor, {}, true, std::move(token));
            if (!opened) return raise_failure(opened.take_failure());
            DuplicationSession& session = opened.value();
            Region effective = Region::whole(session.width, session.height);
            if (region) {
                auto valid = validate_region(*region, session.width, session.height);
                if (!valid) return raise_failure(valid.take_failure());  // the session goes with `opened`
                effective = valid.value();
            }

            auto state = std::make_unique<CapturerState>();
            state->region = effective;
            state->region_is_default = !region;
            state->device_idx = device;
            state->output_idx = output;
            state->cursor = cursor;
            state->adopt(std::move(session));

            return Capturer::create(type, state);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* capturer_repr(PyObject* self) {
    return with_capturer<py::SharedBorrow>(self, [](CapturerState& s) -> PyObject* {
        std::string text = "<vistrel.Capturer output=" + std::to_string(s.output_idx);
        if (s.stage() == Stage::Ready) {
            text += " device=" + std::to_string(s.device_idx) + " " + std::to_string(s.session->width) + "x" +
                    std::to_string(s.session->height) + (s.session->cursor_enabled ? " cursor>" : ">");
        } else {
            text += " closed>";
        }
        return py::str(text).release();
    });
}

// --- attributes ---

enum class Field {
    OutputIdx,
    DeviceIdx,
    Width,
    Height,
    Rotation,
    Cursor,
    Region,
    Format,
    IsCapturing,
    Token,
    PixelPath
};

PyObject* get_field(PyObject* self, void* closure) {
    const auto field = static_cast<Field>(reinterpret_cast<std::intptr_t>(closure));
    return with_capturer<py::SharedBorrow>(self, [field](CapturerState& s) -> PyObject* {
        const bool needs_open = field == Field::Width || field == Field::Height || field == Field::Rotation ||
                                field == Field::Cursor || field == Field::PixelPath;
        if (needs_open && !require(s, Need::Open)) return nullptr;
        switch (field) {
            case Field::OutputIdx:
                return PyLong_FromUnsignedLong(s.output_idx);
            case Field::DeviceIdx:
                return PyLong_FromUnsignedLong(s.device_idx);
            case Field::Width:
                return PyLong_FromUnsignedLong(s.width);
            case Field::Height:
                return PyLong_FromUnsignedLong(s.height);
            case Field::Rotation:
                return PyLong_FromUnsignedLong(s.rotation);
            case Field::Cursor:
                return PyBool_FromLong(s.cursor);
            case Field::Region:
                return Py_BuildValue(
                    "(kkkk)", static_cast<unsigned long>(s.region.left), static_cast<unsigned long>(s.region.top),
                    static_cast<unsigned long>(s.region.right), static_cast<unsigned long>(s.region.bottom));
            case Field::Format:
                return py::str("bgra").release();
            case Field::IsCapturing:
                return PyBool_FromLong(s.stage() == Stage::Background || s.lifecycle->iterator_running());
            case Field::Token: {
                const std::optional<std::string>& token = s.session ? s.session->cast_token : s.cast_token;
                if (!token) Py_RETURN_NONE;
                return py::str(*token).release();
            }
            case Field::PixelPath:
                // Only the session's duplication knows; a capture thread holds it meanwhile.
                if (!s.session || !s.session->duplication) Py_RETURN_NONE;
                return py::str(pixel_path_of(s.session->duplication.get())).release();
        }
        return nullptr;
    });
}

void* field_closure(Field f) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(f)); }

PyGetSetDef g_getset[] = {
    {"output_idx", get_field, nullptr, nullptr, field_closure(Field::OutputIdx)},
    {"device_idx", get_field, nullptr, nullptr, field_closure(Field::DeviceIdx)},
    {"width", get_field, nullptr, nullptr, field_closure(Field::Width)},
    {"height", get_field, nullptr, nullptr, field_closure(Field::Height)},
    {"rotation", get_field, nullptr, nullptr, field_closure(Field::Rotation)},
    {"cursor", get_field, nullptr, nullptr, field_closure(Field::Cursor)},
    {"region", get_field, nullptr, nullptr, field_closure(Field::Region)},
    {"format", get_field, nullptr, nullptr, field_closure(Field::Format)},
    {"is_capturing", get_field, nullptr, nullptr, field_closure(Field::IsCapturing)},
    {"token", get_field, nullptr, nullptr, field_closure(Field::Token)},
    {"pixel_path", get_field, nullptr,
     "How frames reach the process: 'mit-shm' or 'get-image' on X11, 'staging-texture' on Windows; None while a "
     "capture thread holds the session.",
     field_closure(Field::PixelPath)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- _debug_cursor ---

PyObject* capturer_debug_cursor(PyObject* self, PyObject*) {
    // Exclusive: a Detached Capturer reopens its session, so the pointer it reports is live.
    return with_capturer<py::ExclusiveBorrow>(self, [](CapturerState& s) -> PyObject* {
        // Closed, or a capture thread holds the session: nothing of it to report here.
        const bool reportable =
            (s.stage() == Stage::Ready || s.stage() == Stage::Detached) && !s.lifecycle->iterator_running();
        if (reportable && !ensure_session(s)) return nullptr;
        py::Ref dict = py::Ref::steal(PyDict_New());
        if (!dict || !reportable) return dict.release();
        const CursorState& c = s.session->cursor;
        PyObject* d = dict.get();
        if (!py::set_item(d, "visible", py::Ref::steal(PyBool_FromLong(c.visible))) ||
            !py::set_item(d, "pos_x", py::Ref::steal(PyLong_FromLong(c.position_x))) ||
            !py::set_item(d, "pos_y", py::Ref::steal(PyLong_FromLong(c.position_y))))
            return nullptr;
        if (!c.shape) {
            return py::set_item(d, "shape", py::Ref::borrow(Py_None)) ? dict.release() : nullptr;
        }
        bool ok = py::set_item(d, "shape_kind", py::Ref::steal(PyLong_FromUnsignedLong(c.shape_type))) &&
                  py::set_item(d, "shape_w", py::Ref::steal(PyLong_FromUnsignedLong(c.shape_width))) &&
                  py::set_item(d, "shape_h", py::Ref::steal(PyLong_FromUnsignedLong(c.shape_height))) &&
                  py::set_item(d, "shape_pitch", py::Ref::steal(PyLong_FromUnsignedLong(c.shape_pitch))) &&
                  py::set_item(d, "hotspot_x", py::Ref::steal(PyLong_FromLong(c.hotspot_x))) &&
                  py::set_item(d, "hotspot_y", py::Ref::steal(PyLong_FromLong(c.hotspot_y))) &&
                  py::set_item(d, "buf_len", py::Ref::steal(PyLong_FromSize_t(c.shape->size())));
        return ok ? dict.release() : nullptr;
    });
}

PyMethodDef g_methods[] = {
    {"grab", py::method(&capturer_grab), METH_VARARGS | METH_KEYWORDS,
     "grab($self, timeout_ms=1000, fmt=\"bgra\", region=None)\n--\n\n"
     "One-shot capture. Returns a (H, W, C) uint8 ndarray, or None on WAIT_TIMEOUT."},
    {"screenshot", py::method(&capturer_screenshot), METH_VARARGS | METH_KEYWORDS,
     "screenshot($self, fmt=\"bgra\", region=None, timeout_ms=1000)\n--\n\n"
     "The desktop as it is now: a (H, W, C) uint8 ndarray, also when nothing changed.\n"
     "Waits up to timeout_ms only for the session's first image (CaptureTimeout)."},
    {"grab_gpu", py::method(&capturer_grab_gpu), METH_VARARGS | METH_KEYWORDS,
     "grab_gpu($self, timeout_ms=1000)\n--\n\n"
     "Zero-copy GPU mode. Returns a `GpuTexture` opaque handle, or None on timeout."},
    {"start", py::method(&capturer_start), METH_VARARGS | METH_KEYWORDS,
     "start($self, target_fps=60, region=None, video_mode=False)\n--\n\n"
     "Spawn a background capture thread fed by AcquireNextFrame.\n"
     "Subsequent calls to get_latest_frame() block until a new frame arrives."},
    {"stop", capturer_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {"get_latest_frame", py::method(&capturer_get_latest_frame), METH_VARARGS | METH_KEYWORDS,
     "get_latest_frame($self, timeout_ms=None)\n--\n\n"
     "Blocking read of the latest published frame. Always BGRA in v0.0.3."},
    {"_debug_publish_seq", capturer_debug_publish_seq, METH_NOARGS,
     "_debug_publish_seq($self)\n--\n\n"
     "DEBUG: read the capture thread's current published seq counter.\n"
     "Used to differentiate \"capture thread is at rate X\" vs \"consumer is\n"
     "the bottleneck at rate Y\" when diagnosing pacing issues. Only\n"
     "meaningful while a background capture (`start()` or `frames()`) is\n"
     "running; returns 0 otherwise."},
    {"frames", py::method(&capturer_frames), METH_VARARGS | METH_KEYWORDS,
     "frames($self, fps, fmt=\"bgra\", region=None, timeout_ms=5000)\n--\n\n"
     "Paced CFR iterator yielding (ndarray, slot_wallclock_seconds)."},
    {"_debug_cursor", capturer_debug_cursor, METH_NOARGS,
     "_debug_cursor($self)\n--\n\n"
     "DEBUG: read the current cursor state (visibility, position, shape kind).\n"
     "Returns a dict for inspecting what the duplication has reported so far."},
    Capturer::close_method("close($self)\n--\n\n"),
    Capturer::enter_method(),
    Capturer::exit_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Capturer(output=0, *, cursor=True, region=None, device=0, restore_token=None)\n--\n\n"
                       "Capturer is the user-facing pyclass. Holds the live D3D11 state and orchestrates grabs.")},
    {Py_tp_new, reinterpret_cast<void*>(&capturer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Capturer::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&capturer_repr)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_type_table = {
    .name = "vistrel._vistrel.Capturer",
    .basicsize = sizeof(Capturer::Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

py::ProcessType g_type(&g_type_table);

}  // namespace

PyTypeObject* capturer_type() { return g_type.get(); }

}  // namespace vistrel
