#include "src/pacing/frames_iter_type.h"

#include "src/py/heap_type.h"

namespace vistrel {
namespace {

// Only Capturer.frames() makes iterators; the class has no docstring.
PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&py::refuse_new)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    .name = "vistrel._vistrel.FramesIter",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

py::ProcessType g_type(&g_spec);

}  // namespace

PyTypeObject* frames_iter_type() { return g_type.get(); }

}  // namespace vistrel
