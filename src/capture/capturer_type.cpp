#include "src/capture/capturer_type.h"

#include "src/py/heap_type.h"

namespace vistrel {
namespace {

PyType_Slot g_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Capturer(output=0, *, cursor=True, region=None, device=0)\n--\n\n"
                       "Capturer is the user-facing pyclass. Holds the live D3D11 state and orchestrates grabs.")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    .name = "vistrel._vistrel.Capturer",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

py::ProcessType g_type(&g_spec);

}  // namespace

PyTypeObject* capturer_type() { return g_type.get(); }

}  // namespace vistrel
