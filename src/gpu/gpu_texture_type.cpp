#include "src/gpu/gpu_texture_type.h"

#include "src/py/heap_type.h"

namespace vistrel {
namespace {

// Only Capturer.grab_gpu() makes textures.
PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Public Python object handed to the consumer.")},
    {Py_tp_new, reinterpret_cast<void*>(&py::refuse_new)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    .name = "vistrel._vistrel.GpuTexture",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

py::ProcessType g_type(&g_spec);

}  // namespace

PyTypeObject* gpu_texture_type() { return g_type.get(); }

}  // namespace vistrel
