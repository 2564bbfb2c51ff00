// Must not compile: PyUnicode_AsUTF8 is outside the stable ABI of CPython 3.9, so the
// module's build settings have to reject it. A test builds this and expects failure.
#include "src/py/python.h"

const char* outside_the_stable_abi(PyObject* text) { return PyUnicode_AsUTF8(text); }
