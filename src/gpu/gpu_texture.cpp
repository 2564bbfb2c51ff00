// GpuTexture: an NT handle to the session's shared texture, the adapter LUID, the size
// and the format, for another Direct3D device to open the frame.
#include <atomic>
#include <cinttypes>
#include <cstdio>

#include "src/gpu/gpu_texture_type.h"
#include "src/py/binding.h"
#include "src/py/bound_class.h"
#include "src/py/text.h"

namespace vistrel {
namespace {

struct GpuTextureState {
    os::KernelHandle shared_handle;  // this object's own duplicate
    LUID luid{};
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::atomic<bool> closed{false};  // swapped: only the first close closes the handle
    std::uintptr_t handle_value = 0;  // shown by repr() also after close

    py::ThreadBinding binding;
    py::BorrowFlag borrow;
};

void close_texture(GpuTextureState& s) {
    if (!s.closed.exchange(true)) s.shared_handle.reset();
}

struct GpuTextureClass {
    using State = GpuTextureState;
    static constexpr const char* kPath = "vistrel::gpu::GpuTexture";
    static void close(GpuTextureState& s) { close_texture(s); }
    // A texture dropped without close() closes its handle: handles do not leak until exit.
    static void finalise(GpuTextureState& s) { close_texture(s); }
};
using GpuTexture = py::BoundClass<GpuTextureClass>;

enum class Field { SharedHandle, Luid, Format, Width, Height, AcquireKey, ReleaseKey };

PyObject* get_field(PyObject* self, void* closure) {
    const auto field = static_cast<Field>(reinterpret_cast<std::intptr_t>(closure));
    return GpuTexture::use<py::SharedBorrow>(self, [field](GpuTextureState& s) -> PyObject* {
        switch (field) {
            case Field::SharedHandle:
                if (s.closed.load()) {
                    PyErr_SetString(PyExc_RuntimeError, "GpuTexture is closed");
                    return nullptr;
                }
                return PyLong_FromUnsignedLongLong(s.handle_value);
            case Field::Luid:
                return Py_BuildValue("(kl)", static_cast<unsigned long>(s.luid.LowPart),
                                     static_cast<long>(s.luid.HighPart));
            case Field::Format:
                return py::str("DXGI_FORMAT_B8G8R8A8_UNORM").release();
            case Field::Width:
                return PyLong_FromUnsignedLong(s.width);
            case Field::Height:
                return PyLong_FromUnsignedLong(s.height);
            case Field::AcquireKey:
            case Field::ReleaseKey:
                return PyLong_FromLong(0);
        }
        return nullptr;
    });
}

void* field_closure(Field f) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(f)); }

PyGetSetDef g_getset[] = {
    {"shared_handle", get_field, nullptr, nullptr, field_closure(Field::SharedHandle)},
    {"luid", get_field, nullptr, nullptr, field_closure(Field::Luid)},
    {"format", get_field, nullptr, nullptr, field_closure(Field::Format)},
    {"width", get_field, nullptr, nullptr, field_closure(Field::Width)},
    {"height", get_field, nullptr, nullptr, field_closure(Field::Height)},
    {"keyed_mutex_acquire_key", get_field, nullptr,
     "Reserved for a future opt-in keyed-mutex mode. v0.0.3 returns 0 for\n"
     "both keys to signal that no mutex protocol is active on the texture.",
     field_closure(Field::AcquireKey)},
    {"keyed_mutex_release_key", get_field, nullptr, nullptr, field_closure(Field::ReleaseKey)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* texture_repr(PyObject* self) {
    return GpuTexture::use<py::SharedBorrow>(self, [](GpuTextureState& s) -> PyObject* {
        char text[160];
        std::snprintf(text, sizeof text,
                      "<vistrel.GpuTexture %" PRIu32 "x%" PRIu32 " BGRA8 handle=0x%" PRIXPTR " luid=(%" PRIu32
                      ", %" PRId32 ")>",
                      s.width, s.height, s.handle_value, static_cast<std::uint32_t>(s.luid.LowPart),
                      static_cast<std::int32_t>(s.luid.HighPart));
        return py::str(text).release();
    });
}

PyMethodDef g_methods[] = {
    GpuTexture::close_method("close($self)\n--\n\n"),
    GpuTexture::enter_method(),
    GpuTexture::exit_method(),
    {nullptr, nullptr, 0, nullptr},
};

// Only Capturer.grab_gpu() makes textures.
PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Public Python object handed to the consumer.")},
    {Py_tp_new, reinterpret_cast<void*>(&py::refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&GpuTexture::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&texture_repr)},
    {Py_tp_getset, g_getset},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_type_table = {
    .name = "vistrel._vistrel.GpuTexture",
    .basicsize = sizeof(GpuTexture::Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

py::ProcessType g_type(&g_type_table);

}  // namespace

PyTypeObject* gpu_texture_type() { return g_type.get(); }

PyObject* new_gpu_texture(os::KernelHandle handle, LUID luid, std::uint32_t width, std::uint32_t height) {
    auto state = std::make_unique<GpuTextureState>();
    state->handle_value = reinterpret_cast<std::uintptr_t>(handle.get());
    state->shared_handle = std::move(handle);
    state->luid = luid;
    state->width = width;
    state->height = height;
    return GpuTexture::create(gpu_texture_type(), state);
}

}  // namespace vistrel
