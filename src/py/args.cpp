#include "src/py/args.h"

#include <string>

#include "src/py/text.h"

namespace vistrel::py {

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
    if (tb) PyException_SetTraceback(v.get(), tb.get());
    Ref original_text = Ref::steal(PyObject_Str(v.get()));
    if (!original_text) return;
    std::string text = std::string("argument '") + name + "': " + utf8(original_text.get());
    Ref message = str(text);
    if (!message) return;
    Ref prefixed = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!prefixed) return;
    PyException_SetCause(prefixed.get(), v.release());  // steals the cause
    PyErr_SetObject(PyExc_TypeError, prefixed.get());
}

}  // namespace vistrel::py
